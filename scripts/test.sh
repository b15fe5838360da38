#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the release build
# under ctest, the unit and integration tests again under AddressSanitizer+UBSan
# (leaks included), the framework's threading tests and the backup and restore
# runners under ThreadSanitizer, and every fuzz target for 30 s.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
jobs=$(nproc)

"$here/scripts/install-deps.sh"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 600)

cmake -S . -B build-asan -DDDB_SANITIZE=ON -DDDB_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$jobs" --target ddb_unit_tests ddb_framework_tests ddb_integration_tests ddb_store_tests
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs" --timeout 600 -E cli_end_to_end)

cmake -S . -B build-tsan -DDDB_TSAN=ON -DDDB_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-tsan -j"$jobs" --target ddb_framework_tests ddb_integration_tests
TSAN_OPTIONS=halt_on_error=1 ./build-tsan/tests/ddb_framework_tests --gtest_brief=1
# The backup runners' threads against the local endpoint (ctest starts and stops it).
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure --timeout 600 \
   -R 'FullBackupFixture|StoreBackupFixture|IncrementalFixture|IncrementalStoreFixture|RestoreFixture')

# Every parser of outside input under libFuzzer, ASan and UBSan, from the seed corpus.
"$here/scripts/fuzz.sh" 30

echo "test.sh: all tests passed"
