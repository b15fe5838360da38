#!/usr/bin/env bash
# The main job on the embedded default: a local DynamoDB endpoint on loopback
# with a sample table of every attribute type, backed up in full into a local
# store and verified, then changed and backed up incrementally, the jobs
# listed, and the table restored into a new one. Stops the endpoint whatever
# happens.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
"$here/scripts/install-deps.sh"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target ddb-backup ddb-sample-table >/dev/null

state=$(mktemp -d)
trap '"$here/tools/local-dynamodb/stop.sh" "$state"; rm -rf "$state"' EXIT
endpoint=$("$here/tools/local-dynamodb/start.sh" "$state")
echo "== local DynamoDB endpoint at $endpoint"

export AWS_ENDPOINT_URL="$endpoint"
export AWS_ACCESS_KEY_ID=demo AWS_SECRET_ACCESS_KEY=demo-secret AWS_REGION=us-east-1
export AWS_EC2_METADATA_DISABLED=true
store="$here/demo-store"
rm -rf "$store" # each run shows one fresh backup; the store stays for a look afterwards

./build/tools/sample-table/ddb-sample-table --table demo-orders --items 3000 --stream NEW_AND_OLD_IMAGES
echo "== backup"
./build/cli/ddb-backup backup --table demo-orders --store "$store" --segments 4 --read-capacity 50
echo "== verify"
./build/cli/ddb-backup verify --store "$store"
echo "== changes, then an incremental backup"
./build/tools/sample-table/ddb-sample-table --table demo-orders --items 200 --first 100000
./build/cli/ddb-backup backup --table demo-orders --store "$store" --incremental
echo "== jobs"
./build/cli/ddb-backup jobs --store "$store"
echo "== restore into demo-orders-restored"
./build/cli/ddb-backup restore --store "$store" --table demo-orders --to demo-orders-restored --write-capacity 100
