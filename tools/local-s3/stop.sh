#!/usr/bin/env bash
# Stops what start.sh started with the same state directory: the whole
# process group, the S3 server included (as for the local DynamoDB).
# usage: stop.sh <state-dir>
exec "$(dirname "$0")/../local-dynamodb/stop.sh" "$@"
