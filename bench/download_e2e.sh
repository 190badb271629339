#!/usr/bin/env bash
# End-to-end download throughput through zorp, beside curl on the same server in the same run:
#   - one file of 1 GiB: from the page's request (type 7) to the end of the downloads (type 4),
#     against `curl -o FILE` of the same address, twice each in turns, the faster counting
#                                                                             (MB/s, ratio)
#   - 1,000 files of 64 KiB in 20 cloud folders through one folder download (type 11), against
#     a sequential curl loop over the same addresses                          (files/s)
#   - bytes zorp wrote per byte downloaded (write() calls, /proc/PID/io wchar; 1.0 when the
#     delivery renames the cache file, 2.0 when it copies)
# zorp-cloud on loopback serves both; its files are planted on it (AdminActions::Plant).
# Everything happens in a temporary folder (its own XDG homes) that goes at the end.
#
#   bench/download_e2e.sh [build folder] [MiB of the large file] [files] [folders]
#   (defaults: build/default, 1024, 1000, 20; ZORP_BENCH_KEEP=1 keeps the folder and logs)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
big_mib=${2:-1024}
files=${3:-1000}
folders=${4:-20}
. bench/e2e_common.sh
bench_setup "$build" zorp-bench-dl
command -v curl >/dev/null || { echo "curl is needed for the comparison" >&2; exit 1; }
mkdir -p "$work/out"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM

start_cloud
admin="http://127.0.0.1:$cloud_port/admin"
web="http://web.localhost:$cloud_port/qcd/filebackup"
download="http://download.localhost:$cloud_port/qcd/fileshare/downloadFileAction.json?"
id_of() { sed -n 's/.*"id":\([0-9]*\).*/\1/p'; }

echo "preparing: one file of $big_mib MiB, $files files of 64 KiB in $folders folders"
big_id=$(curl -s "$admin/plant?name=large.bin&size=$((big_mib * 1048576))&fill=random&seed=1" | id_of)
per_folder=$((files / folders))
folder_ids=()
small_urls=()
for ((d = 0; d < folders; d++)); do
  fid=$(curl -s "$web/createPathAction.json?path=d$d&pid=0" | id_of)
  folder_ids+=("$fid")
  for ((i = 0; i < per_folder; i++)); do
    id=$(curl -s "$admin/plant?name=f$i&size=65536&fill=random&seed=$((d * 10000 + i + 2))&pid=$fid" | id_of)
    small_urls+=("${download}fid=$id")
  done
done

link_port=23175
while (exec 3<>"/dev/tcp/127.0.0.1/$link_port") 2>/dev/null; do
  link_port=$((link_port + 1))
done
now_ns() { date +%s%N; }

# Starts zorp, lets it finish its start-up behind a connected page, sends the request and
# takes the time when the page hears the end of the downloads (type 4, printed as it arrives).
# Writes the seconds from the request to the end into $work/seconds and the bytes zorp wrote
# meanwhile (wchar of /proc/PID/io) into $work/wchar.
download_run() {
  local request=$1
  rm -f "$work/t1" "$work/end.json"
  (cd "$work" && exec env ZORP_LINK_PORT=$link_port "$bin/zorp" >/dev/null 2>"$work/zorp.err") &
  zorp_pid=$!
  {
    sleep 2  # the session's start-up is done and the windows exist by then
    local before
    before=$(sed -n 's/^wchar: //p' "/proc/$zorp_pid/io")
    now_ns >"$work/t0"
    echo "$request"
    until [ -s "$work/t1" ]; do sleep 0.01; done
    echo $(( $(sed -n 's/^wchar: //p' "/proc/$zorp_pid/io") - before )) >"$work/wchar"
  } | "$bin/zorp-page" --port "$link_port" --connect-timeout 30 -c cookieUserAccount=bench \
        --stdin --watch --wait-for 4 --wait-for 6 --timeout 3600 hello |
    while IFS= read -r line; do
      case $line in
        *'"type":4'* | *'"type":6'*) now_ns >"$work/t1.tmp" && mv "$work/t1.tmp" "$work/t1" ;;
      esac
      echo "$line" >>"$work/end.json"
    done
  wait "$zorp_pid" 2>/dev/null || true
  zorp_pid=""
  if ! grep -q '"type":4' "$work/end.json"; then
    cat "$work/zorp.err" >&2
    echo "the downloads did not end well: $(cat "$work/end.json")" >&2
    exit 1
  fi
  awk -v a="$(cat "$work/t0")" -v b="$(cat "$work/t1")" 'BEGIN { printf "%.3f", (b - a) / 1e9 }' >"$work/seconds"
}

min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a < b ? a : b) }'; }

big_bytes=$((big_mib * 1048576))
# Twice each, in turns (curl, zorp, curl, zorp); the faster of each counts, so that another
# load on the machine hurts neither side more.
zorp_big_s=""
curl_big_s=""
for round in 1 2; do
  rm -f "$work/out/large.bin" "$work/out/curl-large.bin"
  sync
  t0=$(now_ns)
  curl -s -o "$work/out/curl-large.bin" "${download}fid=$big_id"
  t1=$(now_ns)
  s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
  curl_big_s=${curl_big_s:-$s}
  curl_big_s=$(min "$curl_big_s" "$s")
  rm -f "$work/out/curl-large.bin"
  sync
  download_run "$(printf '{"type":7,"files":[{"size":%d,"url":"%sfid=%s","path":"%s"}]}' \
                   "$big_bytes" "$download" "$big_id" "$work/out/large.bin")"
  zorp_big_s=${zorp_big_s:-$(cat "$work/seconds")}
  zorp_big_s=$(min "$zorp_big_s" "$(cat "$work/seconds")")
  zorp_big_w=$(cat "$work/wchar")
done
cmp -s <(curl -s "${download}fid=$big_id") "$work/out/large.bin" || { echo "large.bin differs" >&2; exit 1; }
rm -f "$work/out/large.bin"

items=""
for ((d = 0; d < folders; d++)); do
  items+=$(printf '{"fid":%s,"name":"d%d","type":2,"share":0},' "${folder_ids[$d]}" "$d")
done
sync
download_run "$(printf '{"type":11,"files":[{"path":"%s","files":[%s]}]}' "$work/out/tree" "${items%,}")"
zorp_small_s=$(cat "$work/seconds")
zorp_small_w=$(cat "$work/wchar")
arrived=$(find "$work/out/tree" -type f | wc -l)
mkdir -p "$work/out/curl"
t0=$(now_ns)
n=0
for url in "${small_urls[@]}"; do
  curl -s -o "$work/out/curl/$n" "$url"
  n=$((n + 1))
done
t1=$(now_ns)
curl_small_s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')

awk -v z="$zorp_big_s" -v c="$curl_big_s" -v mib="$big_mib" 'BEGIN {
  printf "one file of %d MiB:  zorp %7.2f s %8.1f MB/s   curl -o %7.2f s %8.1f MB/s   zorp/curl %.2f\n",
         mib, z, mib * 1048576 / z / 1e6, c, mib * 1048576 / c / 1e6, c / z }'
awk -v z="$zorp_small_s" -v c="$curl_small_s" -v n="$files" -v f="$folders" 'BEGIN {
  printf "%d files of 64 KiB in %d folders:  zorp %7.2f s %7.0f files/s   curl loop %7.2f s %7.0f files/s\n",
         n, f, z, n / z, c, n / c }'
awk -v w="$zorp_big_w" -v b="$big_bytes" -v ws="$zorp_small_w" -v bs="$((files * 65536))" 'BEGIN {
  printf "bytes written per byte downloaded:  large file %.3f   small files %.3f\n", w / b, ws / bs }'
echo "files arrived: $arrived (expected $files)"
