#!/usr/bin/env bash
# The long run of the kill -9 tests: the same e2e tests CI runs (KillNine*), with many more
# kills per path and a seed of the caller's. Each path (folder upload, database writes,
# downloads, local edit) takes KILLS kills; the figures each test prints are collected:
# kills survived, seeds, bytes sent again and the allowance for them (one chunk per running
# transfer per kill), bytes beyond it, integrity checks of the databases.
#
#   bench/kill_soak.sh [kills per path] [seed] [build folder]
#   (defaults: 100, 20261209, build/default; a failure prints the seed that repeats it)
set -uo pipefail
cd "$(dirname "$0")/.."
kills=${1:-100}
seed=${2:-20261209}
build=${3:-build/default}
tests="$build/bin/zorp_e2e_tests"
[ -x "$tests" ] || { echo "no $tests: build zorp_e2e_tests first" >&2; exit 1; }
log=$(mktemp -t zorp-kill-soak.XXXXXX)
trap 'rm -f "$log"' EXIT

echo "kill soak: $kills kills per path, ZORP_KILL_SEED=$seed"
start=$(date +%s)
ZORP_KILL_COUNT=$kills ZORP_KILL_SEED=$seed "$tests" --gtest_filter='KillNine*' >"$log" 2>&1
status=$?
elapsed=$(($(date +%s) - start))

grep '^kill-figures' "$log" || true
awk '/^kill-figures / {
       for (i = 2; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
       kills += v["kills"]; survived += v["survived"]; resent += v["resent_bytes"]
       allowance += v["allowance_bytes"]; beyond += v["beyond_allowance"]
       checks += v["integrity_checks"]; if (v["integrity"] != "ok") bad += 1; paths += 1 }
     END {
       printf "paths: %d  kills: %d  survived: %d\n", paths, kills, survived
       printf "bytes sent again: %d (allowance %d, beyond it %d)\n", resent, allowance, beyond
       printf "integrity checks: %d, %s\n", checks, bad ? "FAILED on " bad " path(s)" : "all ok" }' "$log"
echo "time: ${elapsed} s"
if [ "$status" -ne 0 ]; then
  grep -E 'Failure|FAILED' "$log" | head -40
  cp "$log" "$log.kept" && echo "the whole output: $log.kept"
  echo "FAILED; repeat with: ZORP_KILL_SEED=$seed ZORP_KILL_COUNT=$kills $tests --gtest_filter='KillNine*'"
  exit 1
fi
echo "PASSED"
