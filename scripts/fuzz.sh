#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan and UBSan, and runs each
# on a copy of its seed corpus (fuzz/corpus/<target>) for SECONDS (default
# 30), as many at once as there are cores (or FUZZ_JOBS). A crash, a leak or
# a broken invariant fails the run and leaves the reproducer in
# build-fuzz/findings/<target>/.
# usage: [FUZZ_JOBS=N] scripts/fuzz.sh [SECONDS [TARGET...]]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
seconds=${1:-30}
jobs=${FUZZ_JOBS:-$(nproc)}

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DDDB_FUZZ=ON -DDDB_BUILD_TESTS=OFF -DDDB_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzz_targets

targets=(json scan_page stream_page describe credentials store_files agent shared_config s3_xml)
if (($# > 1)); then targets=("${@:2}"); fi
work=build-fuzz/runs
rm -rf "$work"
mkdir -p "$work"
run() { # name
  local name=$1 corpus="$work/$1-corpus" findings="build-fuzz/findings/$1"
  mkdir -p "$corpus" "$findings"
  cp fuzz/corpus/"$name"/* "$corpus"/
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      "build-fuzz/fuzz/${name}_fuzz" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 \
      -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" >"$work/$name.log" 2>&1; then
    echo "fuzz: $name: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/$name.log" | grep -o '[0-9]*$') runs, nothing found"
  else
    echo "fuzz: $name FAILED; the reproducer is in $findings/:" >&2
    grep -E 'ERROR|invariant failed|SUMMARY|Test unit written' "$work/$name.log" | head -20 >&2
    return 1
  fi
}
status=0
pids=()
for name in "${targets[@]}"; do
  run "$name" &
  pids+=($!)
  if ((${#pids[@]} >= jobs)); then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
exit $status
