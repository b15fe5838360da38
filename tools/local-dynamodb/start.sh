#!/usr/bin/env bash
# Starts the local DynamoDB endpoint on a free loopback port and waits until it
# answers. Writes the port to <state-dir>/port and the process id to
# <state-dir>/pid; prints the endpoint URL.
# usage: start.sh <state-dir> [--path DIR] [--table-delay-ms N]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
state=${1:?usage: start.sh <state-dir> [server options]}
shift
mkdir -p "$state"
rm -f "$state/port"
if [ ! -d "$here/node_modules" ]; then
  (cd "$here" && npm ci --no-audit --no-fund --loglevel=error)
fi
nohup node "$here/server.js" --port-file "$state/port" "$@" >"$state/server.log" 2>&1 &
echo $! >"$state/pid"
for _ in $(seq 1 200); do
  if [ -s "$state/port" ]; then
    echo "http://127.0.0.1:$(cat "$state/port")"
    exit 0
  fi
  if ! kill -0 "$(cat "$state/pid")" 2>/dev/null; then
    echo "local DynamoDB failed to start:" >&2
    cat "$state/server.log" >&2
    exit 1
  fi
  sleep 0.05
done
echo "local DynamoDB did not start within 10 s" >&2
exit 1
