#!/usr/bin/env bash
# End-to-end upload throughput through zorp: from the page's upload request to the last update
# message of the batch, with zorp-page as the page and zorp-cloud on
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
. bench/e2e_common.sh
bench_setup "$build" zorp-bench
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

start_cloud

link_port=23175
while (exec 3<>"/dev/tcp/127.0.0.1/$link_port") 2>/dev/null; do
  link_port=$((link_port + 1))
done

# Starts zorp and a page that sends the upload request right after its session start, then
# waits for the batch's end. Prints the seconds from zorp's answer to the page's hello (the
# request follows at once) to the end; zorp's own start-up work after the hello is included.
upload_seconds() {
  local path=$1
  (cd "$work" && exec env ZORP_LINK_PORT=$link_port "$bin/zorp" >/dev/null 2>"$work/zorp.err") &
  zorp_pid=$!
  # Every message zorp sends, each with the time it was read; the awaited one comes last.
  "$bin/zorp-page" --port "$link_port" --connect-timeout 30 -c cookieUserAccount=bench \
      --watch --wait-for 3 --wait-for 5 --timeout 3600 upload --pid 0 "$path" |
    perl -MTime::HiRes=time -ne 'BEGIN { $| = 1 } printf "%.6f %s", time, $_' >"$work/seen.txt"
  wait "$zorp_pid" 2>/dev/null || true
  zorp_pid=""
  if ! tail -n 1 "$work/seen.txt" | grep -q '"type":3'; then
    cat "$work/zorp.err" >&2
    echo "the batch did not end well: $(tail -n 1 "$work/seen.txt")" >&2
    exit 1
  fi
  awk 'NR == 1 { a = $1 } END { printf "%.3f", $1 - a }' "$work/seen.txt"
}

big_s=$(upload_seconds "$work/big/large.bin")
small_s=$(upload_seconds "$work/small/Many")

awk -v s="$big_s" -v mib="$big_mib" 'BEGIN {
  printf "one file of %d MiB:                 %8.2f s  %8.1f MB/s\n", mib, s, mib * 1048576 / s / 1e6 }'
awk -v s="$small_s" -v n="$files" -v f="$folders" 'BEGIN {
  printf "%d files of 4 KiB in %d folders: %8.2f s  %8.0f files/s  (%.1f MB/s)\n", n, f, s, n / s, n * 4096 / s / 1e6 }'
stored=$("$bin/zorp-cloud" --data "$work/cloud" --list | grep -c '  complete  ' || true)
echo "files complete on the server: $stored (expected $((files + 1)))"
