#!/usr/bin/env bash
# scripts/check-layers passes on a tree that keeps the layer order and fails, naming the line,
# on one with an include against it (a core header that reaches up into the upload path) or
# a server file that reaches into the client's core.
set -uo pipefail
script="$1/scripts/check-layers"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/src/core" "$tree/src/upload" "$tree/tools/zorp-cloud"
printf '#include "platform/Event.h"\n' > "$tree/src/core/Good.h"
printf '#include "core/Good.h"\n#include "cloud/CloudApi.h"\n' > "$tree/src/upload/Good.h"
if ! "$script" "$tree" > "$tree/out" 2>&1; then
  echo "a tree in order was refused:"; cat "$tree/out"; exit 1
fi
printf '#include "upload/FileBackupMgr.h"\n' > "$tree/src/core/Bad.h"
if "$script" "$tree" > "$tree/out" 2>&1; then
  echo "an upward include passed"; exit 1
fi
grep -q 'src/core/Bad.h:1:#include "upload/FileBackupMgr.h"' "$tree/out" || {
  echo "the offending line is not named:"; cat "$tree/out"; exit 1; }
rm "$tree/src/core/Bad.h"
printf '#include "core/Logging.h"\n' > "$tree/tools/zorp-cloud/Bad.cpp"
if "$script" "$tree" > "$tree/out" 2>&1; then
  echo "the server reaching into the client core passed"; exit 1
fi
echo "check-layers keeps the order"
