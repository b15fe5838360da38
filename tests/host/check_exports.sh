#!/bin/sh
# The agent module's dynamic symbols (by qualified name, overloads and
# constructor variants folded) must be exactly the list given: its entry
# points, and nothing else of ours or of the templates built into it.
# usage: check_exports.sh MODULE EXPECTED-LIST
set -eu
actual=$(nm -D --defined-only "$1" | c++filt | awk '{ $1 = ""; $2 = ""; print }' |
         sed 's/^ *//; s/@@.*//; s/(.*//' | grep -v '^DDB_AGENT_[0-9]*$' | LC_ALL=C sort -u)
expected=$(grep -v '^#' "$2" | LC_ALL=C sort -u)
if [ "$actual" != "$expected" ]; then
    echo "the exports of $1 differ from $2 (< exported, > expected):" >&2
    printf '%s\n' "$actual" > "${TMPDIR:-/tmp}/module-exports.$$"
    printf '%s\n' "$expected" | diff "${TMPDIR:-/tmp}/module-exports.$$" - >&2 || true
    rm -f "${TMPDIR:-/tmp}/module-exports.$$"
    exit 1
fi
echo "$(printf '%s\n' "$actual" | wc -l) entry points exported, nothing else"
