#!/usr/bin/env bash
# The main job on the embedded default: builds the tool and shows what it does.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
"$here/scripts/install-deps.sh"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target ddb-backup
./build/cli/ddb-backup --help
