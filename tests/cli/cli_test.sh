#!/usr/bin/env bash
# The ddb-backup command end to end against the local endpoint: help, usage
# errors, backup of one and of several tables, jobs and verify (also as
# JSON), verify catching damage, credentials from profiles and a role over a
# source_profile (through a loopback STS), missing credentials, and a stop by
# SIGINT followed by --resume, and with a local S3 server, the same round
# trip through an S3 store, every signature checked by the server's proxy.
# usage: cli_test.sh <build-dir> <local-dynamodb-state-dir> [<local-s3-state-dir>]
set -uo pipefail
build=$1
state=$2
cli="$build/cli/ddb-backup"
sample="$build/tools/sample-table/ddb-sample-table"
work=$(mktemp -d)
sts_pid=
trap 'rm -rf "$work"; [ -n "$sts_pid" ] && kill "$sts_pid" 2>/dev/null' EXIT
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

for command in backup jobs verify restore prune; do
  check "help of '$command'" 0 "$cli" $command --help
  contains "help of '$command' shows usage" "Usage: ddb-backup $command"
done
check "help" 0 "$cli" --help
contains "help lists the commands" "Subcommands:"
check "help COMMAND" 0 "$cli" help verify
contains "help COMMAND describes it" "Usage: ddb-backup verify"
check "version" 0 "$cli" --version
check "no command" 2 "$cli"
check "unknown command" 2 "$cli" bogus
contains "unknown command is named" "no command 'bogus'"
check "restore without its options" 2 "$cli" restore
contains "usage errors show the usage line" "usage: ddb-backup restore [OPTIONS]"
check "a repeated single-valued option" 2 "$cli" jobs --store "$store" --store "$work/other"
contains "is refused, not silently taken" "At Most 1"
check "missing store" 2 "$cli" backup --table "$table"
check "bad table name" 2 "$cli" backup --table "a/b" --store "$store"
contains "bad table name is explained" "is not a DynamoDB table name"
check "zero segments" 2 "$cli" backup --table "$table" --store "$store" --segments 0
check "unknown option" 2 "$cli" jobs --store "$store" --colour
check "jobs of a store that does not exist" 2 "$cli" jobs --store "$work/typo"
contains "says there is no store" "there is no backup store at $work/typo"
check "verify of a store that does not exist" 2 "$cli" verify --store "$work/typo"
check "restore from a store that does not exist" 2 "$cli" restore --store "$work/typo" --table "$table"

for command in backup jobs verify restore prune; do
  extra=(); case $command in backup | restore) extra=(--table "$table") ;; esac
  check "$command into a store with an unknown scheme" 2 env --chdir="$work" "$(realpath "$cli")" $command "${extra[@]}" --store gs://bucket/prefix
  contains "$command names the scheme it cannot use" "names the scheme gs://"
done
if [ -e "$work/gs:" ]; then echo "FAIL: an unknown scheme made a local folder"; failures=$((failures + 1)); fi

check "sample table" 0 "$sample" --table "$table" --items 3000
check "backup" 0 "$cli" backup --table "$table" --store "$store" --segments 3 --chunk-size 65536
contains "backup summary" "complete"
check "jobs" 0 "$cli" jobs --store "$store"
contains "jobs lists the job" "$table"
contains "jobs shows the item count" "3000"
check "verify" 0 "$cli" verify --store "$store" --job 1
contains "verify counts the items" "3000 items"
"$cli" backup --table "$table" --store "$store" --quiet >"$work/ids" 2>"$work/err"
if [ "$(cat "$work/ids")" = "2" ] && [ ! -s "$work/err" ]; then echo "ok: a quiet backup prints only its job id"; else
  echo "FAIL: a quiet backup printed '$(cat "$work/ids")' and '$(cat "$work/err")'"; failures=$((failures + 1)); fi
pruned="$work/pruned"
cp -r "$store" "$pruned"
check "prune with a duration that is not one" 2 "$cli" prune --store "$pruned" --keep-within 30x
contains "names what a duration looks like" "not a duration such as 30d"
check "prune keeping no full" 2 "$cli" prune --store "$pruned" --keep-last 0
check "prune --dry-run --json" 0 "$cli" prune --store "$pruned" --keep-last 1 --dry-run --json
cp "$work/out" "$work/prune.json"
check "says what would go and removes nothing" 0 python3 -c '
import json, os, sys
plan = json.load(open(sys.argv[1]))
assert plan["dryRun"] and [j["job"] for j in plan["wouldRemove"]] == [1] and plan["kept"] == [2], plan
assert os.path.exists(plan["wouldRemove"][0]["directory"] + "/manifest.json"), plan' "$work/prune.json"
check "prune --keep-last 1" 0 "$cli" prune --store "$pruned" --keep-last 1
contains "names what it removed" "removed 1 jobs, kept 1"
check "the pruned store verifies" 0 "$cli" verify --store "$pruned"
check "and still restores its newest job" 0 "$cli" restore --store "$pruned" --table "$table" --to "$table-pruned" --quiet
check "jobs as JSON" 0 "$cli" jobs --store "$store" --json
cp "$work/out" "$work/jobs.json"
check "is one JSON document with each job's state and span" 0 python3 -c '
import json, sys
jobs = json.load(open(sys.argv[1]))["jobs"]
assert [j["job"] for j in jobs] == [1, 2], jobs
assert all(j["kind"] == "full" and j["state"] == "complete" and j["items"] == 3000 for j in jobs), jobs
assert all(j["from"] <= j["until"] for j in jobs), jobs' "$work/jobs.json"
check "verify as JSON" 0 "$cli" verify --store "$store" --json
cp "$work/out" "$work/verify.json"
check "says each job is ok" 0 python3 -c '
import json, sys
report = json.load(open(sys.argv[1]))
assert report["ok"] and all(j["ok"] and j["lines"] == 3000 for j in report["jobs"]), report' "$work/verify.json"

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
check "failed job is not verified as complete" 1 "$cli" verify --store "$store" --job 3


check "no credentials" 2 env -u AWS_ACCESS_KEY_ID -u AWS_SECRET_ACCESS_KEY AWS_CONFIG_FILE="$work/none" AWS_SHARED_CREDENTIALS_FILE="$work/none" "$cli" backup --table "$table" --store "$store"
contains "no credentials says what to do" "no AWS credentials found"

# Endpoints from the shared config, read as the AWS tools read them: the
# service's entry in the profile's services section wins over the profile's own.
cat >"$work/endpoint-config" <<EOF
[profile local]
region = us-east-1
endpoint_url = http://127.0.0.1:1
services = local-services

[services local-services]
dynamodb =
  endpoint_url = $AWS_ENDPOINT_URL
EOF
check "an endpoint from the config's services section" 0 env -u AWS_ENDPOINT_URL AWS_PROFILE=local \
  AWS_CONFIG_FILE="$work/endpoint-config" AWS_SHARED_CREDENTIALS_FILE="$work/none" \
  "$cli" backup --table "$table" --store "$work/endpoint-store" --quiet

# Several tables in one run, each its own job.
other="cli-other-$$"
check "second sample table" 0 "$sample" --table "$other" --items 50
"$cli" backup --table "$table" --table "$other" --store "$store" >"$work/ids" 2>"$work/out"
status=$?
if [ "$status" -eq 0 ] && [ "$(wc -l <"$work/ids")" -eq 2 ]; then echo "ok: a repeated --table backs up both tables"; else
  echo "FAIL: a repeated --table: exit $status, ids '$(cat "$work/ids")'"; sed 's/^/    /' "$work/out"; failures=$((failures + 1)); fi
contains "with a summary line per table" "$other [us-east-1]: job F"
check "tables by pattern, one excluded, two at once" 0 "$cli" backup --tables-matching "cli-*-$$" --exclude "cli-stream-*" --parallel-tables 2 --store "$store" --quiet
check "one missing table among several fails the run" 1 "$cli" backup --table "$other,no-such-$$" --store "$store"
contains "and names the failed one" "failed: no-such-$$"

# Compressed chunks round-trip; an unknown compression is a usage error.
check "a compressed backup" 0 "$cli" backup --table "$other" --store "$work/zstd-store" --compress zstd:1 --quiet
check "verifies" 0 "$cli" verify --store "$work/zstd-store"
check "and restores" 0 "$cli" restore --store "$work/zstd-store" --table "$other" --to "$other-zstd" --quiet
check "to the same items" 0 "$build/tools/table-diff/ddb-table-diff" "$other" "$other-zstd"
check "an unknown compression" 2 "$cli" backup --table "$other" --store "$store" --compress lz4
contains "is refused with what to give" "give zstd or zstd:LEVEL"

# A user with only the shared files: a role over a source_profile, assumed
# through STS (a loopback one here) with the base profile's keys.
python3 "$(dirname "$0")/../support/fake_sts.py" "$work/sts.log" >"$work/sts.port" &
sts_pid=$!
for _ in $(seq 50); do [ -s "$work/sts.port" ] && break; sleep 0.1; done
printf '[base]\naws_access_key_id = AKIDBASE\naws_secret_access_key = base-secret\n' >"$work/credentials"
printf '[profile backup]\nrole_arn = arn:aws:iam::123456789012:role/backup\nsource_profile = base\nregion = us-east-1\n' >"$work/config"
profile_env=(env -u AWS_ACCESS_KEY_ID -u AWS_SECRET_ACCESS_KEY -u AWS_REGION AWS_CONFIG_FILE="$work/config"
  AWS_SHARED_CREDENTIALS_FILE="$work/credentials" AWS_ENDPOINT_URL_STS="http://127.0.0.1:$(cat "$work/sts.port")")
check "backup with a source_profile role" 0 "${profile_env[@]}" "$cli" backup --profile backup --table "$other" --store "$store" --verbose
contains "says where the credentials came from" "credentials from profile backup (role arn:aws:iam::123456789012:role/backup assumed with profile base"
check "restore with it" 0 "${profile_env[@]}" "$cli" restore --profile backup --table "$other" --store "$store" --to "$other-copy"
check "the role was assumed with the base profile's keys" 0 grep -q "^AssumeRole arn:aws:iam::123456789012:role/backup AKIDBASE$" "$work/sts.log"
check "a profile that does not exist" 2 "${profile_env[@]}" "$cli" backup --profile nobody --table "$other" --store "$store"
contains "is named" "profile nobody is in neither"

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
check "restore from a damaged backup writes nothing" 1 "$cli" restore --store "$store" --table "$table" --job 1 --to "$table-copy"
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

# kill -9 at random points of a 200k-item backup, each time resumed: the
# manifest records each segment's progress as its chunks fill, and the job,
# resumed to its end, holds every item exactly once.
kill_table="cli-kill-$$"
kill_store="$work/kill-store"
check "200k-item table" 0 "$sample" --table "$kill_table" --items 200000 --item-bytes 100
job_state() { # prints the job's state, or nothing
  "$cli" jobs --store "$kill_store" --json 2>/dev/null | python3 -c '
import json, sys
jobs = json.load(sys.stdin)["jobs"]
print(jobs[0]["state"] if jobs else "")' 2>/dev/null
}
resume=()
for round in 1 2 3; do
  "$cli" backup --table "$kill_table" --store "$kill_store" --segments 4 --chunk-size 262144 --quiet "${resume[@]}" >/dev/null 2>&1 &
  pid=$!
  if [ "$round" -eq 1 ]; then
    # The first kill comes once some segment has recorded progress, at a
    # random moment after that.
    for _ in $(seq 300); do
      kill -0 "$pid" 2>/dev/null || break
      python3 -c '
import glob, json, sys
paths = glob.glob(sys.argv[1] + "/us-east-1/*/F*/manifest.json")
sys.exit(0 if paths and json.load(open(paths[0]))["segments"] else 1)' "$kill_store" 2>/dev/null && break
      sleep 0.1
    done
    sleep "0.$((RANDOM % 10))"
  else
    sleep "$((RANDOM % 3 + 1)).$((RANDOM % 10))"
  fi
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  [ "$(job_state)" = "complete" ] && break
  job=$(ls "$kill_store/us-east-1/$kill_table" | sed -n 's/^F//p' | head -n 1)
  resume=(--resume "$job")
  if [ "$round" -eq 1 ]; then
    check "a killed backup recorded how far its segments got" 0 python3 -c '
import json, sys
segments = json.load(open(sys.argv[1]))["segments"]
assert any(not s["closed"] and s["chunks"] and s["restart"] for s in segments) or any(s["closed"] for s in segments), segments' \
      "$kill_store/us-east-1/$kill_table/F$job/manifest.json"
  fi
done
job=$(ls "$kill_store/us-east-1/$kill_table" | sed -n 's/^F//p' | head -n 1)
if [ "$(job_state)" != "complete" ]; then
  check "the killed backup resumes to its end" 0 "$cli" backup --table "$kill_table" --store "$kill_store" --resume "$job" --quiet
fi
check "the killed and resumed job verifies" 0 "$cli" verify --store "$kill_store" --job "$job"
check "and holds every item exactly once" 0 python3 -c '
import json, sys
job = sys.argv[1]
manifest = json.load(open(job + "/manifest.json"))
paths = ["%s/%d/%d" % (job, s["index"] + 1, c["number"]) for s in manifest["segments"] for c in s["chunks"]]
ids = [json.loads(line)["id"]["S"] for path in paths for line in open(path, encoding="utf-8")]
assert len(ids) == 200000 and len(set(ids)) == 200000, (len(ids), len(set(ids)))' "$kill_store/us-east-1/$kill_table/F$job"

# SIGTERM during the replay of a restore: the workers finish the batches they
# hold, and the command fails saying how far it got and what to run next.
"$cli" restore --store "$kill_store" --table "$kill_table" --to "$kill_table-stopped" >"$work/out" 2>&1 &
pid=$!
for _ in $(seq 600); do
  grep -qs "Replaying full backup" "$kill_store/us-east-1/$kill_table/restore.log" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
sleep 0.5
kill -TERM "$pid" 2>/dev/null
wait "$pid"
status=$?
if [ "$status" -eq 3 ]; then echo "ok: a stopped restore exits as stopped"; else
  echo "FAIL: a stopped restore exited $status, expected 3"
  sed 's/^/    /' "$work/out"
  failures=$((failures + 1))
fi
contains "a stopped restore says how far it got" "stopped by request after "
contains "and what to run next" "run the restore again, with --overwrite"

# An S3 store: full, incremental, jobs, verify, restore and prune, through
# the local S3 server, whose proxy refuses any signature botocore disagrees with.
if [ -n "${3:-}" ]; then
  s3_endpoint="http://127.0.0.1:$(cat "$3/port")"
  s3=(env AWS_ENDPOINT_URL_S3="$s3_endpoint" AWS_ACCESS_KEY_ID=S3RVER AWS_SECRET_ACCESS_KEY=S3RVER)
  s3_store="s3://ddb-backup-test/cli-$$/backups"
  s3_table="cli-s3-$$"
  # Refusals on this run's own objects only: other tests use the server too.
  refused() { curl -s "$s3_endpoint/__stats?path=cli-$$" | python3 -c 'import json,sys; print(json.load(sys.stdin)["refused"])'; }
  refused_before=$(refused)
  check "S3: a stream table" 0 "$sample" --table "$s3_table" --items 300 --stream NEW_AND_OLD_IMAGES
  check "S3: a part size below S3's smallest is refused" 2 "${s3[@]}" "$cli" backup --table "$s3_table" --store "$s3_store" --part-size 1000
  check "S3: a full backup in several chunks" 0 "${s3[@]}" "$cli" backup --table "$s3_table" --store "$s3_store" --chunk-size 20000
  check "S3: more changes" 0 "$sample" --table "$s3_table" --items 40 --first 1000 --stream NEW_AND_OLD_IMAGES
  check "S3: an incremental" 0 "${s3[@]}" "$cli" backup --table "$s3_table" --store "$s3_store" --incremental
  contains "S3: holding every change" "holds 340 changes"
  check "S3: jobs" 0 "${s3[@]}" "$cli" jobs --store "$s3_store"
  contains "S3: lists both jobs" "incr"
  check "S3: verify" 0 "${s3[@]}" "$cli" verify --store "$s3_store"
  check "S3: restore" 0 "${s3[@]}" "$cli" restore --store "$s3_store" --table "$s3_table" --to "$s3_table-copy" --quiet
  check "S3: to the same items" 0 "$build/tools/table-diff/ddb-table-diff" "$s3_table" "$s3_table-copy"
  check "S3: a second full" 0 "${s3[@]}" "$cli" backup --table "$s3_table" --store "$s3_store" --quiet
  check "S3: and its incremental" 0 "${s3[@]}" "$cli" backup --table "$s3_table" --store "$s3_store" --incremental --quiet
  printf 'x\n' >"$work/stray"
  check "S3: a stray object in a kept job" 0 env AWS_ENDPOINT_URL_S3="$s3_endpoint" AWS_ACCESS_KEY_ID=S3RVER AWS_SECRET_ACCESS_KEY=S3RVER \
    /usr/bin/python3 -c '
import sys, botocore.session
s3 = botocore.session.get_session().create_client("s3", endpoint_url=sys.argv[1], region_name="us-east-1")
s3.put_object(Bucket="ddb-backup-test", Key=sys.argv[2], Body=b"x\n")' "$s3_endpoint" "cli-$$/backups/us-east-1/$s3_table/F3/1/99"
  check "S3: prune --keep-last 1" 0 "${s3[@]}" "$cli" prune --store "$s3_store" --keep-last 1 --json
  cp "$work/out" "$work/s3-prune.json"
  check "S3: removes the first chain only" 0 python3 -c '
import json, sys
plan = json.load(open(sys.argv[1]))
assert sorted(j["job"] for j in plan["removed"]) == [1, 2] and plan["kept"] == [3, 4] and not plan["failures"], plan
assert [s.rsplit("/", 3)[1:] for s in plan["strays"]] == [["F3", "1", "99"]], plan["strays"]' "$work/s3-prune.json"
  check "S3: the pruned store verifies" 0 "${s3[@]}" "$cli" verify --store "$s3_store"
  check "S3: and restores its newest chain" 0 "${s3[@]}" "$cli" restore --store "$s3_store" --table "$s3_table" --to "$s3_table-pruned" --quiet
  check "S3: to the same items" 0 "$build/tools/table-diff/ddb-table-diff" "$s3_table" "$s3_table-pruned"
  refused_after=$(refused)
  check "S3: botocore agreed with every signature" 0 test "$refused_after" -eq "$refused_before"
  check "S3: a wrong secret" 2 env AWS_ENDPOINT_URL_S3="$s3_endpoint" AWS_ACCESS_KEY_ID=S3RVER AWS_SECRET_ACCESS_KEY=wrong \
    "$cli" jobs --store "$s3_store"
  contains "S3: names the bucket, the code and what to do" "s3://ddb-backup-test/cli-$$/backups"
  contains "S3: with S3's code" "SignatureDoesNotMatch"
  check "S3: a bucket that does not exist" 2 "${s3[@]}" "$cli" verify --store "s3://no-such-bucket-$$/x"
  contains "S3: says to create it" "does not exist: create it"

  # Killed mid-upload, then resumed: its lock names a process that is gone,
  # so the resume need not wait out the lease, and the job ends exact.
  s3_kill="s3://ddb-backup-test/cli-$$/killed"
  "${s3[@]}" "$cli" backup --table "$kill_table" --store "$s3_kill" --chunk-size 4000000 --quiet >/dev/null 2>&1 &
  pid=$!
  sleep 4
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  s3_job() { "${s3[@]}" "$cli" jobs --store "$s3_kill" --json | python3 -c '
import json, sys
jobs = json.load(sys.stdin)["jobs"]
print(jobs[0]["job"], jobs[0]["state"], jobs[0]["items"]) if jobs else print(0, "none", 0)'; }
  read -r job state _ <<<"$(s3_job)"
  if [ "$state" != "complete" ]; then
    check "S3: the killed backup is listed as interrupted" 0 test "$state" = "interrupted"
    check "S3: and resumes at once" 0 "${s3[@]}" "$cli" backup --table "$kill_table" --store "$s3_kill" --resume "$job" --quiet
  fi
  read -r job state items <<<"$(s3_job)"
  check "S3: the resumed job is complete with every item once" 0 test "$state $items" = "complete 200000"
  check "S3: and verifies" 0 "${s3[@]}" "$cli" verify --store "$s3_kill"
fi

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
