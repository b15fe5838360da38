#!/usr/bin/env bash
# Starts a local S3 server on loopback with one empty bucket, behind a proxy
# that verifies every request's SigV4 signature with botocore. Writes the
# port to <state-dir>/port and the process group to <state-dir>/pid; prints
# the endpoint URL. Requests must be signed with the given keys.
# usage: start.sh <state-dir> [BUCKET [ACCESS_KEY SECRET_KEY]]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 1 ]; then echo "usage: start.sh <state-dir> [BUCKET [ACCESS_KEY SECRET_KEY]]" >&2; exit 2; fi
state=$1 bucket=${2:-ddb-backup-test} access_key=${3:-S3RVER} secret_key=${4:-S3RVER}
mkdir -p "$state"
state=$(cd "$state" && pwd)
if [ ! -f "$here/node_modules/s3rver/bin/s3rver.js" ]; then
  echo "the local S3 server is not installed: run scripts/install-deps.sh" >&2
  exit 1
fi
/usr/bin/python3 -c 'import botocore' 2>/dev/null || { echo "python3-botocore is missing: run scripts/install-deps.sh" >&2; exit 1; }
"$here/stop.sh" "$state"
setsid "$here/lib/run.sh" "$state" "$bucket" "$access_key" "$secret_key" >"$state/server.log" 2>&1 </dev/null &
echo $! >"$state/pid"
for _ in $(seq 1 600); do
  if [ -s "$state/port" ]; then
    echo "http://127.0.0.1:$(cat "$state/port")"
    exit 0
  fi
  if ! kill -0 "$(cat "$state/pid")" 2>/dev/null; then
    echo "the local S3 server failed to start:" >&2
    cat "$state/server.log" >&2
    exit 1
  fi
  sleep 0.1
done
echo "the local S3 server did not start within 60 s:" >&2
cat "$state/server.log" >&2
"$here/stop.sh" "$state"
exit 1
