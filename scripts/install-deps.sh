#!/usr/bin/env bash
# Installs every build and test dependency on a Debian 12 machine (as root):
# Debian's packages, and DynamoDB Local and a local S3 server from the npm
# registry, pinned by their package-lock.json files (tools/local-dynamodb,
# tools/local-s3). Nothing else is downloaded later.
# Idempotent: when everything is already there it only checks and returns.
set -euo pipefail

packages=(cmake make g++ pkg-config libcurl4-openssl-dev libssl-dev rapidjson-dev
          libgtest-dev libgmock-dev libbenchmark-dev python3 curl ca-certificates
          openjdk-17-jre-headless iproute2 util-linux clang-14 libclang-rt-14-dev libinih-dev libcli11-dev libzstd-dev
          libexpat1-dev python3-botocore)
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]} (apt-get)" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -q --no-install-recommends "${missing[@]}" |
    grep --line-buffered -E '^(Unpacking|Setting up) ' | sed -u 's/^/install-deps: /' >&2 || true
  for package in "${missing[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      { echo "install-deps: $package did not install" >&2; exit 1; }
  done
fi

# DynamoDB Local (a Java program shipped in an npm package).
here=$(cd "$(dirname "$0")/.." && pwd)
local_dynamodb=$here/tools/local-dynamodb
if [ ! -f "$local_dynamodb/node_modules/amplify-dynamodb-simulator/emulator/DynamoDBLocal.jar" ]; then
  echo "install-deps: installing DynamoDB Local (npm ci, about 350 MB)" >&2
  (cd "$local_dynamodb" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
fi
# The local S3 server for the store's tests (also from npm).
local_s3=$here/tools/local-s3
if [ ! -f "$local_s3/node_modules/s3rver/bin/s3rver.js" ]; then
  echo "install-deps: installing the local S3 server (npm ci)" >&2
  (cd "$local_s3" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
fi
echo "install-deps: everything is installed" >&2
