#!/usr/bin/env bash
# End-to-end benchmark against the local endpoint: full backups of tables of
# 100,000 and 400,000 items of about 800 bytes with 4 segments, then the
# restore of each into a new table with 4 threads. Reports items per second,
# our process's CPU seconds and peak memory, and the endpoint's CPU seconds
# over the same run.
# usage: bench/e2e_full_backup.sh [build-dir] [item counts...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(100000 400000)

state=$(mktemp -d)
trap '"$here/tools/local-dynamodb/stop.sh" "$state"; rm -rf "$state"' EXIT
export AWS_ENDPOINT_URL=$("$here/tools/local-dynamodb/start.sh" "$state")
export AWS_ACCESS_KEY_ID=bench AWS_SECRET_ACCESS_KEY=bench-secret AWS_REGION=us-east-1 AWS_EC2_METADATA_DISABLED=true
endpoint_pid=$(cat "$state/pid")

cpu_of() { # utime+stime of a process in seconds
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / hz }' "/proc/$1/stat"
}

# measure <run> <items> <command...>: one line of figures for the command.
measure() {
  local run=$1 count=$2
  shift 2
  local before
  before=$(cpu_of "$endpoint_pid")
  python3 - "$run" "$count" "$before" "$endpoint_pid" "$@" <<'PY'
import os, resource, subprocess, sys, time
run, count, before, pid = sys.argv[1:5]
command = sys.argv[5:]
start = time.monotonic()
subprocess.run(command, check=True, stderr=subprocess.DEVNULL)
seconds = time.monotonic() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
hz = os.sysconf("SC_CLK_TCK")
fields = open(f"/proc/{pid}/stat").read().split(")")[1].split()
endpoint = (int(fields[11]) + int(fields[12])) / hz - float(before)
print(f"{run:<8} {int(count):<8} {seconds:10.2f} {int(count)/seconds:10.0f} {usage.ru_utime + usage.ru_stime:10.2f} "
      f"{usage.ru_maxrss/1024:12.1f} {endpoint:12.2f}")
PY
}

printf '%-8s %-8s %10s %10s %10s %12s %12s\n' run items seconds items/s cpu-s peak-MB endpoint-cpu-s
for count in "${counts[@]}"; do
  table="bench-$count"
  "$build/tools/sample-table/ddb-sample-table" --table "$table" --items "$count" --item-bytes 800 --threads 4 2>/dev/null
  measure backup "$count" "$build/cli/ddb-backup" backup --table "$table" --store "$state/store" --segments 4
  measure restore "$count" "$build/cli/ddb-backup" restore --table "$table" --store "$state/store" --to "$table-restored" --threads 4
done
