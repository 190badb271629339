#!/usr/bin/env bash
# Save-to-server latency of a locally edited file through zorp, with the real delays (the
# edit folder's quiet second included): zorp-page asks zorp to edit a 1 MiB file of a
# zorp-cloud on loopback, xdg-open starts a stand-in editor (a desktop entry of the
# benchmark's own), and then the file is saved again and again, each save a fresh 1 MiB; the
# time from the end of a save to the page hearing that the server holds the upload (type 16).
# Everything happens in a temporary folder (its own XDG homes) that goes at the end.
#
#   bench/edit_e2e.sh [build folder] [saves]     (defaults: build/default, 5)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
saves=${2:-5}
. bench/e2e_common.sh
bench_setup "$build" zorp-bench-edit
command -v xdg-open >/dev/null || { echo "xdg-open is missing (scripts/bootstrap)" >&2; exit 1; }
mkdir -p "$XDG_DATA_HOME/applications"
unset DISPLAY XDG_CURRENT_DESKTOP
# xdg-open looks for the desktop's programs only where there is a display.
export WAYLAND_DISPLAY=zorp-bench-no-display QT_QPA_PLATFORM=offscreen

# The stand-in editor only says which file it was given.
printf '#!/bin/sh\necho "$1" > "%s/opened"\n' "$work" >"$work/editor.sh"
chmod +x "$work/editor.sh"
printf '[Desktop Entry]\nType=Application\nName=Bench editor\nExec=%s %%f\nMimeType=application/octet-stream;\n' \
  "$work/editor.sh" >"$XDG_DATA_HOME/applications/zorp-bench-editor.desktop"
printf '[Default Applications]\napplication/octet-stream=zorp-bench-editor.desktop\n' \
  >"$XDG_CONFIG_HOME/mimeapps.list"

start_cloud
planted=$(curl -s "http://127.0.0.1:$cloud_port/admin/plant?name=edited.bin&size=1048576&fill=random&seed=3")
fid=$(echo "$planted" | sed -n 's/.*"id":\([0-9]*\).*/\1/p')
hash=$(echo "$planted" | sed -n 's/.*"hash":"\([0-9a-f]*\)".*/\1/p')

link_port=23175
while (exec 3<>"/dev/tcp/127.0.0.1/$link_port") 2>/dev/null; do
  link_port=$((link_port + 1))
done
(cd "$work" && exec env ZORP_LINK_PORT=$link_port "$bin/zorp" >/dev/null 2>"$work/zorp.err") &
zorp_pid=$!
"$bin/zorp-page" --port "$link_port" --connect-timeout 30 --watch --timeout 0 edit --fid "$fid" \
  --pid 0 --name edited.bin --size 1048576 --hash "$hash" >"$work/page.out" 2>&1 &
page_pid=$!

for _ in $(seq 600); do [ -s "$work/opened" ] && break; sleep 0.05; done
[ -s "$work/opened" ] || { cat "$work/zorp.err" >&2; echo "the editor was not started" >&2; exit 1; }
edited=$(cat "$work/opened")

now_ns() { date +%s%N; }
completes() { grep -c '"type":16' "$work/page.out" || true; }

results=()
for ((i = 1; i <= saves; i++)); do
  before=$(completes)
  head -c 1048576 /dev/urandom >"$work/next.bin"
  cat "$work/next.bin" >"$edited"
  t0=$(now_ns)
  for _ in $(seq 6000); do [ "$(completes)" -gt "$before" ] && break; sleep 0.005; done
  t1=$(now_ns)
  [ "$(completes)" -gt "$before" ] || { echo "save $i did not reach the server" >&2; exit 1; }
  results+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')")
  # The lock of the last upload is let go before the next save, as between a user's saves.
  sleep 1
done

printf 'save to server, 1 MiB, %d saves: %s s\n' "$saves" "${results[*]}"
printf '%s\n' "${results[@]}" | sort -n | awk '{ v[NR] = $1 } END {
  printf "median %.3f s (of which the quiet period of the edit folder is 1 s)\n", v[int((NR + 1) / 2)] }'
