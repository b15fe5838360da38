#!/usr/bin/env bash
# The local S3 server and the verifying proxy in front of it, as one process
# group (start.sh runs this; stop.sh stops the group).
# usage: run.sh <state-dir> <bucket> <access-key> <secret-key>
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
state=$1 bucket=$2 access_key=$3 secret_key=$4
port=$(node -e 'const s=require("net").createServer().listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close()})')
rm -rf "$state/data"
mkdir -p "$state/data"
node "$here/node_modules/s3rver/bin/s3rver.js" --directory "$state/data" --address 127.0.0.1 --port "$port" \
  --silent --no-vhost-buckets --allow-mismatched-signatures --configure-bucket "$bucket" &
for _ in $(seq 1 200); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  sleep 0.05
done
exec /usr/bin/python3 "$here/lib/verify_proxy.py" --backend "$port" --port-file "$state/port" \
  --access-key "$access_key" --secret-key "$secret_key"
