#!/usr/bin/env bash
# DynamoDB Local and the fault proxy in front of it, as one process group
# (start.sh runs this; stop.sh stops the group).
# usage: run.sh <state-dir>
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
state=$1
emulator=$here/node_modules/amplify-dynamodb-simulator/emulator
java_command=(java -Xmx768m -XX:+UseSerialGC -XX:TieredStopAtLevel=1
              "-Djava.library.path=$emulator/DynamoDBLocal_lib" -jar "$emulator/DynamoDBLocal.jar"
              -inMemory -sharedDb -disableTelemetry)

# DynamoDB Local cannot be told to listen on loopback only. In a network
# namespace of its own it is reachable by nothing but the Unix socket of the
# bridge beside it, which the proxy (on 127.0.0.1) uses.
# DynamoDB Local writes a metadata file into its working directory.
cd "$state"
socket=$state/dynamodb.sock
if [ ${#socket} -gt 100 ]; then socket=$(mktemp -u /tmp/ddb-local.XXXXXX.sock); fi
if unshare --net true 2>/dev/null; then
  unshare --net bash -c '
    ip link set lo up
    "$@" -port 8000 &
    exec node "'"$here"'/lib/bridge.js" "'"$socket"'" 8000' run-in-namespace "${java_command[@]}" &
  backend=unix:$socket
else
  port=$(node -e 'const s=require("net").createServer().listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close()})')
  echo "run.sh: cannot make a network namespace; DynamoDB Local listens on every interface, port $port" >&2
  "${java_command[@]}" -port "$port" &
  backend=127.0.0.1:$port
fi
exec node "$here/proxy.js" --backend "$backend" --port-file "$state/port"
