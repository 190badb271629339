#!/usr/bin/env bash
# End-to-end upload throughput through zorp: from the page's upload request (type 8) to the
# last update message of the batch (type 3), with zorp-page as the page and zorp-cloud on
# loopback as the server. Two loads, each into a fresh zorp started for it:
#   - one file of 1 GiB                               (MB/s)
#   - 10,000 files of 4 KiB in 100 folders            (files/s)
# Everything happens in a temporary folder (its own XDG homes) that goes at the end.
#
#   bench/upload_e2e.sh [build folder] [MiB of the large file] [files] [folders]
#   (defaults: build/default, 1024, 10000, 100; ZORP_BENCH_KEEP=1 keeps the folder and logs)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
big_mib=${2:-1024}
files=${3:-10000}
folders=${4:-100}
bin=$(cd "$build/bin" 2>/dev/null && pwd) || { echo "no $build/bin: build first" >&2; exit 1; }
for program in zorp zorp-cloud zorp-page; do
  [ -x "$bin/$program" ] || { echo "no $bin/$program: build it first" >&2; exit 1; }
done

work=$(mktemp -d -t zorp-bench.XXXXXX)
cloud_pid=""
zorp_pid=""
cleanup() {
  [ -n "$zorp_pid" ] && kill "$zorp_pid" 2>/dev/null && wait "$zorp_pid" 2>/dev/null || true
  [ -n "$cloud_pid" ] && kill "$cloud_pid" 2>/dev/null && wait "$cloud_pid" 2>/dev/null || true
  if [ -n "${ZORP_BENCH_KEEP:-}" ]; then echo "kept: $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache
export XDG_RUNTIME_DIR=$work/runtime HOME=$work/home
mkdir -p "$XDG_CONFIG_HOME/zorp" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$HOME"
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM

echo "preparing: one file of $big_mib MiB, $files files of 4 KiB in $folders folders"
mkdir -p "$work/big" "$work/small"
head -c $((big_mib * 1048576)) /dev/urandom >"$work/big/large.bin"
per_folder=$((files / folders))
for ((d = 0; d < folders; d++)); do
  mkdir -p "$work/small/Many/d$d"
  head -c $((per_folder * 4096)) /dev/urandom | (cd "$work/small/Many/d$d" && split -b 4096 -a 4 - f)
done
sync

"$bin/zorp-cloud" --listen 127.0.0.1:0 --data "$work/cloud" >"$work/cloud.out" 2>&1 &
cloud_pid=$!
cloud_port=""
for _ in $(seq 100); do
  cloud_port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/cloud.out")
  [ -n "$cloud_port" ] && break
  sleep 0.1
done
[ -n "$cloud_port" ] || { echo "zorp-cloud did not start" >&2; exit 1; }
printf '{"host": "web.localhost:%s"}\n' "$cloud_port" >"$XDG_CONFIG_HOME/zorp/appConfig"

link_port=23175
while (exec 3<>"/dev/tcp/127.0.0.1/$link_port") 2>/dev/null; do
  link_port=$((link_port + 1))
done

now_ns() { date +%s%N; }

# Starts zorp, lets it finish its start-up behind a connected page, then sends the request
# and waits for the batch's end. Prints the seconds from the request to the end.
upload_seconds() {
  local path=$1
  (cd "$work" && exec env ZORP_LINK_PORT=$link_port "$bin/zorp" >/dev/null 2>"$work/zorp.err") &
  zorp_pid=$!
  local request
  request=$(printf '{"type":8,"files":[{"pid":0,"share":0,"paths":["%s"]}]}' "$path")
  {
    sleep 2  # the session's start-up is done and the windows exist by then
    now_ns >"$work/t0"
    echo "$request"
  } | "$bin/zorp-page" --port "$link_port" --connect-timeout 30 -c cookieUserAccount=bench \
        --stdin --wait-for 3 --wait-for 5 --timeout 3600 hello >"$work/end.json"
  now_ns >"$work/t1"
  wait "$zorp_pid" 2>/dev/null || true
  zorp_pid=""
  if ! grep -q '"type":3' "$work/end.json"; then
    cat "$work/zorp.err" >&2
    echo "the batch did not end well: $(cat "$work/end.json")" >&2
    exit 1
  fi
  awk -v a="$(cat "$work/t0")" -v b="$(cat "$work/t1")" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'
}

big_s=$(upload_seconds "$work/big/large.bin")
small_s=$(upload_seconds "$work/small/Many")

awk -v s="$big_s" -v mib="$big_mib" 'BEGIN {
  printf "one file of %d MiB:                 %8.2f s  %8.1f MB/s\n", mib, s, mib * 1048576 / s / 1e6 }'
awk -v s="$small_s" -v n="$files" -v f="$folders" 'BEGIN {
  printf "%d files of 4 KiB in %d folders: %8.2f s  %8.0f files/s  (%.1f MB/s)\n", n, f, s, n / s, n * 4096 / s / 1e6 }'
stored=$("$bin/zorp-cloud" --data "$work/cloud" --list | grep -c '  complete  ' || true)
echo "files complete on the server: $stored (expected $((files + 1)))"
