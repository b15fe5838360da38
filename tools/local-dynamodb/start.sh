#!/usr/bin/env bash
# Starts DynamoDB Local (AWS's own, with Streams) behind the fault proxy on a
# free loopback port, and waits until it answers a request. Writes the port
# to <state-dir>/port and the process group to <state-dir>/pid; prints the
# endpoint URL.
# usage: start.sh <state-dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -ne 1 ]; then echo "usage: start.sh <state-dir>" >&2; exit 2; fi
state=$1
mkdir -p "$state"
state=$(cd "$state" && pwd)
rm -f "$state/port"
if [ ! -f "$here/node_modules/amplify-dynamodb-simulator/emulator/DynamoDBLocal.jar" ]; then
  echo "DynamoDB Local is not installed: run scripts/install-deps.sh" >&2
  exit 1
fi
command -v java >/dev/null || { echo "no Java runtime: run scripts/install-deps.sh" >&2; exit 1; }
"$here/stop.sh" "$state"

# setsid: DynamoDB Local, its bridge and the proxy share one process group,
# which stop.sh ends as a whole.
setsid "$here/lib/run.sh" "$state" >"$state/server.log" 2>&1 </dev/null &
echo $! >"$state/pid"
for _ in $(seq 1 1200); do
  if [ -s "$state/port" ]; then
    echo "http://127.0.0.1:$(cat "$state/port")"
    exit 0
  fi
  if ! kill -0 "$(cat "$state/pid")" 2>/dev/null; then
    echo "DynamoDB Local failed to start:" >&2
    cat "$state/server.log" >&2
    exit 1
  fi
  sleep 0.1
done
echo "DynamoDB Local did not answer within 120 s:" >&2
cat "$state/server.log" >&2
"$here/stop.sh" "$state"
exit 1
