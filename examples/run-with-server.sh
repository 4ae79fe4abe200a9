#!/bin/sh
# Runs a program against a stand-in server of its own: a private platform
# root, quonix started in it, and both removed at the end, whatever happens.
# Usage: run-with-server.sh QUONIX PROGRAM [ARGUMENT ...]
set -u
quonix=$1
shift
root=$(mktemp -d "${TMPDIR:-/tmp}/qnapi-example.XXXXXX") || exit 1
QNAPI_ROOT=$root
export QNAPI_ROOT
"$quonix" --quiet &
server=$!
trap 'kill -TERM $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$root"' EXIT
# The server listens on its pipe once its areas are published.
tries=0
while [ ! -S "$root/pipe/qoxsmem" ] && [ $tries -lt 200 ]; do
  sleep 0.05
  tries=$((tries + 1))
done
"$@"
status=$?
exit $status
