#!/usr/bin/env bash
# The main job on the embedded default: AWS's DynamoDB Local on loopback with
# a sample table of every attribute type, backed up in full into a local
# store and verified, then changed and backed up incrementally, the jobs
# listed, the table restored into a new one, and the restored table checked
# against the source item for item. Stops DynamoDB Local whatever happens.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
step() { echo "== $*"; }

step "install what is missing (apt-get, npm)"
"$here/scripts/install-deps.sh"
step "configure"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo | grep -E '^-- (Build files|Configuring done)' || true
step "build ddb-backup and the demo's tools"
cmake --build build -j"$(nproc)" --target ddb-backup ddb-sample-table ddb-table-diff

state=$(mktemp -d)
trap '"$here/tools/local-dynamodb/stop.sh" "$state"; rm -rf "$state"' EXIT
step "start DynamoDB Local"
endpoint=$("$here/tools/local-dynamodb/start.sh" "$state")
echo "DynamoDB Local at $endpoint"

export AWS_ENDPOINT_URL="$endpoint"
export AWS_ACCESS_KEY_ID=demo AWS_SECRET_ACCESS_KEY=demo-secret AWS_REGION=us-east-1
export AWS_EC2_METADATA_DISABLED=true
store="$here/demo-store"
rm -rf "$store" # each run shows one fresh backup; the store stays for a look afterwards

step "sample table demo-orders: 3,000 items of every attribute type, with a stream"
./build/tools/sample-table/ddb-sample-table --table demo-orders --items 3000 --stream NEW_AND_OLD_IMAGES
step "full backup"
./build/cli/ddb-backup backup --table demo-orders --store "$store" --segments 4 --read-capacity 50
step "verify"
./build/cli/ddb-backup verify --store "$store"
step "200 more items, then an incremental backup"
./build/tools/sample-table/ddb-sample-table --table demo-orders --items 200 --first 100000
./build/cli/ddb-backup backup --table demo-orders --store "$store" --incremental
step "jobs"
./build/cli/ddb-backup jobs --store "$store"
step "restore into demo-orders-restored"
./build/cli/ddb-backup restore --store "$store" --table demo-orders --to demo-orders-restored --write-capacity 100
step "check the restored table against the source"
./build/tools/table-diff/ddb-table-diff demo-orders demo-orders-restored
step "done: the store is in $store"
