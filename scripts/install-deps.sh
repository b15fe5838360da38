#!/usr/bin/env bash
# Installs every build and test dependency on a Debian 12 machine (as root).
# Idempotent: when everything is already there it only checks and returns.
set -euo pipefail

packages=(cmake make g++ pkg-config libcurl4-openssl-dev libssl-dev rapidjson-dev
          libgtest-dev libgmock-dev libbenchmark-dev python3 curl ca-certificates)
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The local DynamoDB endpoint's Node packages, pinned by its lock file.
here=$(cd "$(dirname "$0")/.." && pwd)
if [ -f "$here/tools/local-dynamodb/package-lock.json" ] && [ ! -d "$here/tools/local-dynamodb/node_modules" ]; then
  (cd "$here/tools/local-dynamodb" && npm ci --no-audit --no-fund --loglevel=error)
fi
