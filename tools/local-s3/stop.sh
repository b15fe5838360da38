#!/usr/bin/env bash
# Stops what start.sh started with the same state directory: the whole
# process group, the S3 server included.
# usage: stop.sh <state-dir>
set -uo pipefail
state=${1:?usage: stop.sh <state-dir>}
if [ -f "$state/pid" ]; then
  group=$(cat "$state/pid")
  kill -TERM -- "-$group" 2>/dev/null
  for _ in $(seq 1 100); do kill -0 -- "-$group" 2>/dev/null || break; sleep 0.05; done
  kill -KILL -- "-$group" 2>/dev/null
  rm -f "$state/pid" "$state/port"
fi
exit 0
