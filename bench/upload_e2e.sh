#!/usr/bin/env bash
# End-to-end upload through zorp, each figure beside the limit it is judged against, all
# measured in this one run on the same files and the same zorp-cloud on loopback (zorp-page
# stands in for the web page; every upload goes into a fresh zorp):
#
#   one large file, page request to the batch's end    against the serial limit (best of two,
#       the file deleted on the server between the runs, as the loop's limit is best of two)
#       1 / (1/hash + 1/loop): the protocol hashes the whole file before its first chunk, so
#       the best possible is zorp's hash alone followed by a plain libcurl 128 KiB loop alone
#       (bench_upload_limits) on the same file and server                      (target 0.90)
#   zorp's hash of that file                           against `openssl speed` (target 0.95)
#   five files through the hash pool                   against `openssl speed -multi <cores>`
#   many small files, page request to the batch's end  against the folder walk alone, with its
#       pauses and cloud folders, on the same tree      (target: at most 1.10 times the walk)
#   the plain loop against zorp-cloud                   against the loop against a sink that
#       only acknowledges (zorp-cloud's own cost)                              (target 0.90);
#       beside it, a sink that also writes each chunk before it answers (what storing costs)
#
#   bench/upload_e2e.sh [build folder] [MiB of the large file] [files] [folders] [MiB per hash file]
#   (defaults: build/default, 1024, 10000, 100, 256; ZORP_BENCH_KEEP=1 keeps the folder and logs)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
big_mib=${2:-1024}
files=${3:-10000}
folders=${4:-100}
hash_mib=${5:-256}
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

# "name value" lines of bench_upload_limits, as shell variables.
limits() {
  "$bin/bench_upload_limits" "$@" | while read -r name value; do printf '%s=%s\n' "$name" "$value"; done
}

echo "measuring the limits"
eval "$(limits hash "$work/big/large.bin")"
eval "$(limits loop "$work/big/large.bin" "$cloud_port")"
# Best of two, as the loop is: the second run starts about as soon after a deletion on the
# server as the loop's second run does (the server's page cache then reuses freed memory).
echo "uploading the large file, twice"
big_s=""
for run in 1 2; do
  seconds=$(upload_seconds "$work/big/large.bin")
  echo "  run $run: $seconds s"
  if [ -z "$big_s" ] || awk -v a="$seconds" -v b="$big_s" 'BEGIN { exit !(a < b) }'; then
    big_s=$seconds
  fi
  if [ "$run" = 1 ]; then
    fid=$("$bin/zorp-cloud" --data "$work/cloud" --list --ids |
          sed -n 's|.*  complete   */large\.bin  id=\([0-9]*\)$|\1|p')
    [ -n "$fid" ] || { echo "the large file is not complete on the server" >&2; exit 1; }
    "$bin/bench_upload_limits" delete "$fid" "$cloud_port"
  fi
done
echo "walking the small files alone"
eval "$(limits walk "$work/small/Many" "$cloud_port")"
echo "uploading the small files"
small_s=$(upload_seconds "$work/small/Many")
echo "hashing five files of $hash_mib MiB"
five=$(ZORP_BENCH_MIB=$hash_mib "$bin/bench_hash" | sed -n 's/^five files: *\([0-9.]*\) MB\/s.*-multi [0-9]*): *\([0-9.]*\) MB\/s.*/\1 \2/p')

stored=$("$bin/zorp-cloud" --data "$work/cloud" --list | grep -c '  complete  ' || true)
awk -v big_s="$big_s" -v mib="$big_mib" -v hash="$hash" -v openssl="$openssl" \
    -v loop_cloud="$loop_cloud" -v loop_sink="$loop_sink" -v loop_written="$loop_writing_sink" -v small_s="$small_s" -v walk="$walk" \
    -v n="$files" -v five="$five" 'BEGIN {
  split(five, f, " ")
  e2e = mib * 1048576 / big_s / 1e6
  limit = 1 / (1 / hash + 1 / loop_cloud)
  printf "%-44s %10s %10s %7s %s\n", "figure", "measured", "limit", "ratio", "target"
  printf "%-44s %8.1f MB/s %6.1f MB/s %7.2f %s\n", "one file of " mib " MiB, end to end", e2e, limit, e2e / limit, ">= 0.90"
  printf "%-44s %8.1f MB/s %6.1f MB/s %7.2f %s\n", "zorp hash of that file / openssl speed", hash, openssl, hash / openssl, ">= 0.95"
  printf "%-44s %8.1f MB/s %6.1f MB/s %7.2f %s\n", "five files, hash pool / openssl -multi", f[1], f[2], f[1] / f[2], "no loss"
  printf "%-44s %10.2f s %8.2f s %7.2f %s\n", n " files of 4 KiB / the walk alone", small_s, walk, small_s / walk, "<= 1.10"
  printf "%-44s %8.1f MB/s %6.1f MB/s %7.2f %s\n", "plain loop: zorp-cloud / acknowledging sink", loop_cloud, loop_sink, loop_cloud / loop_sink, ">= 0.90"
  printf "%-44s %8.1f MB/s %6.1f MB/s %7.2f %s\n", "  beside it: a sink that writes / acknowledging", loop_written, loop_sink, loop_written / loop_sink, "(storing alone)"
}'
echo "files complete on the server: $stored (expected $((files + 1)), and the walk's folders)"
