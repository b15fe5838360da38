#!/usr/bin/env bash
# The ddb-backup command end to end against the local endpoint: help, usage
# errors, backup, jobs, verify catching damage, missing credentials, and a
# stop by SIGINT followed by --resume.
# usage: cli_test.sh <build-dir> <local-dynamodb-state-dir>
set -uo pipefail
build=$1
state=$2
cli="$build/cli/ddb-backup"
sample="$build/tools/sample-table/ddb-sample-table"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

check() { # description, expected status, command...
  local description=$1 expected=$2
  shift 2
  "$@" >"$work/out" 2>&1
  local status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "FAIL: $description: exit $status, expected $expected"
    sed 's/^/    /' "$work/out"
    failures=$((failures + 1))
  else
    echo "ok: $description"
  fi
}

contains() { # description, text
  if grep -qF -- "$2" "$work/out"; then echo "ok: $1"; else
    echo "FAIL: $1: output lacks '$2'"
    sed 's/^/    /' "$work/out"
    failures=$((failures + 1))
  fi
}

export AWS_ENDPOINT_URL="http://127.0.0.1:$(cat "$state/port")"
export AWS_ACCESS_KEY_ID=cli AWS_SECRET_ACCESS_KEY=cli-secret AWS_REGION=us-east-1 AWS_EC2_METADATA_DISABLED=true
table="cli-$$"
store="$work/store"

for command in "" backup jobs verify; do
  check "help of '$command'" 0 "$cli" $command --help
  contains "help of '$command' shows usage" "usage: ddb-backup"
done
check "unknown command" 2 "$cli" restore
check "missing store" 2 "$cli" backup --table "$table"
check "bad table name" 2 "$cli" backup --table "a/b" --store "$store"
contains "bad table name is explained" "is not a DynamoDB table name"
check "zero segments" 2 "$cli" backup --table "$table" --store "$store" --segments 0
check "unknown option" 2 "$cli" jobs --store "$store" --colour

check "sample table" 0 "$sample" --table "$table" --items 3000
check "backup" 0 "$cli" backup --table "$table" --store "$store" --segments 3 --chunk-size 65536
contains "backup summary" "complete"
check "jobs" 0 "$cli" jobs --store "$store"
contains "jobs lists the job" "$table"
contains "jobs shows the item count" "3000"
check "verify" 0 "$cli" verify --store "$store" --job 1
contains "verify counts the items" "3000 items"

chunk="$store/us-east-1/$table/F1/2/1"
cp "$chunk" "$work/saved"
printf 'X' | dd of="$chunk" bs=1 seek=10 conv=notrunc status=none
check "verify catches a flipped byte" 1 "$cli" verify --store "$store"
contains "verify names the damaged file" "$chunk: expected checksum"
head -c 1000 "$work/saved" >"$chunk"
check "verify catches a truncated chunk" 1 "$cli" verify --store "$store"
contains "verify names the truncated file" "$chunk: expected"
cp "$work/saved" "$chunk"
check "verify passes again once repaired" 0 "$cli" verify --store "$store"

check "missing table fails" 1 "$cli" backup --table "no-such-$$" --store "$store"
contains "missing table is named with its region" "no-such-$$ [us-east-1]"
check "failed job is not verified as complete" 1 "$cli" verify --store "$store" --job 2


check "no credentials" 1 env -u AWS_ACCESS_KEY_ID -u AWS_SECRET_ACCESS_KEY "$cli" backup --table "$table" --store "$store"
contains "no credentials says what to do" "no usable AWS credentials"

# Incrementals: a stream table, a full backup, changes, then incrementals.
stream_table="cli-stream-$$"
check "incremental of a missing table fails" 1 "$cli" backup --table "$stream_table" --store "$store" --incremental
contains "and names it with its region" "$stream_table [us-east-1]"
check "stream table" 0 "$sample" --table "$stream_table" --items 200 --stream NEW_AND_OLD_IMAGES
check "full backup of the stream table" 0 "$cli" backup --table "$stream_table" --store "$store"
check "first incremental" 0 "$cli" backup --table "$stream_table" --store "$store" --incremental
contains "first incremental holds every change so far" "holds 200 changes"
check "more changes" 0 "$sample" --table "$stream_table" --items 30 --first 1000 --stream NEW_AND_OLD_IMAGES
check "second incremental" 0 "$cli" backup --table "$stream_table" --store "$store" --incremental
contains "second incremental holds only the new changes" "holds 30 changes"
check "jobs after incrementals" 0 "$cli" jobs --store "$store"
contains "jobs shows incrementals" "incr"
check "incremental with --segments is refused" 2 "$cli" backup --table "$table" --store "$store" --incremental --segments 2
check "--threads without --incremental is refused" 2 "$cli" backup --table "$table" --store "$store" --threads 2
check "incremental of a table without a stream fails" 1 "$cli" backup --table "$table" --store "$store" --incremental
contains "and says why" "Stream does not exist"

# Restore: into a new table, refused onto an existing one, and from a damaged store.
chunk="$store/us-east-1/$table/F1/2/1"
check "restore help" 0 "$cli" restore --help
check "restore into a new table" 0 "$cli" restore --store "$store" --table "$stream_table" --to "$stream_table-copy"
contains "restore names the jobs it replays" "from F"
check "restore onto an existing table is refused" 1 "$cli" restore --store "$store" --table "$stream_table" --to "$stream_table-copy"
contains "and says so" "already exists and will not be overwritten"
check "restore with --overwrite" 0 "$cli" restore --store "$store" --table "$stream_table" --to "$stream_table-copy" --overwrite
now=$(date -u +%Y-%m-%dT%H:%M:%SZ)
check "restore --at a second no chain covers yet" 1 "$cli" restore --store "$store" --table "$stream_table" --to "$stream_table-at" --at "$now"
contains "says which times can be restored" "Times that can be restored: "
check "restore --at without a zone is refused" 2 "$cli" restore --store "$store" --table "$stream_table" --at "2026-12-09T10:00:00"
contains "and says how to give one" "add Z for UTC"
check "restore --at with --job is refused" 2 "$cli" restore --store "$store" --table "$stream_table" --at "$now" --job 1
sleep 1
check "incremental covering that second" 0 "$cli" backup --table "$stream_table" --store "$store" --incremental
check "restore --at a covered second" 0 "$cli" restore --store "$store" --table "$stream_table" --to "$stream_table-at" --at "$now"
contains "restore --at names the cut" "changes up to $now"
check "jobs shows covered spans" 0 "$cli" jobs --store "$store"
contains "with a FROM and UNTIL column" "UNTIL"
check "--overwrite with --use-existing is refused" 2 "$cli" restore --store "$store" --table "$table" --overwrite --use-existing
cp "$chunk" "$work/saved"
printf 'X' | dd of="$chunk" bs=1 seek=10 conv=notrunc status=none
check "restore from a damaged backup writes nothing" 1 "$cli" restore --store "$store" --table "$table" --to "$table-copy"
contains "and names the damage" "is damaged, nothing was restored"
cp "$work/saved" "$chunk"

# Stop by SIGINT, then resume. The backup may win the race and finish first;
# then there is nothing to resume and that is fine too.
big="cli-big-$$"
check "large sample table" 0 "$sample" --table "$big" --items 30000 --item-bytes 800
"$cli" backup --table "$big" --store "$store" --segments 1 >"$work/out" 2>&1 &
pid=$!
sleep 0.3
kill -INT "$pid" 2>/dev/null
wait "$pid"
status=$?
if [ "$status" -eq 3 ]; then
  contains "stopped backup says how to resume" "--resume"
  job=$(sed -n 's/.*resume with --resume \([0-9]*\).*/\1/p' "$work/out" | head -n 1)
  check "resume" 0 "$cli" backup --table "$big" --store "$store" --resume "$job"
  check "resumed job verifies" 0 "$cli" verify --store "$store" --job "$job"
  contains "resumed job holds every item" "30000 items"
elif [ "$status" -eq 0 ]; then
  echo "ok: backup finished before the signal arrived"
else
  echo "FAIL: interrupted backup exited $status"
  sed 's/^/    /' "$work/out"
  failures=$((failures + 1))
fi

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
