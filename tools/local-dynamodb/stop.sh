#!/usr/bin/env bash
# Stops the endpoint started by start.sh with the same state directory.
# usage: stop.sh <state-dir>
set -uo pipefail
state=${1:?usage: stop.sh <state-dir>}
if [ -f "$state/pid" ]; then
  pid=$(cat "$state/pid")
  kill "$pid" 2>/dev/null
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -9 "$pid" 2>/dev/null
  rm -f "$state/pid" "$state/port"
fi
exit 0
