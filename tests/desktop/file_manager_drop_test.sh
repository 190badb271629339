#!/usr/bin/env bash
# A file dragged from a real file manager (PCManFM, on an X server of the test's own) onto the
# drop window goes up into the disk's top folder, byte for byte. The pointer is moved with
# xdotool as a hand would: press on the file's icon, move in small steps to the drop window,
# release there.
#
# usage: file_manager_drop_test.sh BUILD_DIR [ARTIFACTS_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/desktop_common.sh"
command -v pcmanfm >/dev/null || { echo "SKIP: pcmanfm is not installed" >&2; exit 77; }
desktop_setup "$1" zorp-desktop-drop
artifacts=${2:-$work/artifacts}
mkdir -p "$artifacts"
fm_pid=""
trap 'stop_pid "$fm_pid"; desktop_cleanup' EXIT

fail() {
  echo "FAIL: $*" >&2
  "$shot" "$artifacts/drop-failed.png" >/dev/null 2>&1 || true
  for log in "$work/zorp.err" "$work/page.out" "$work/fm.log"; do
    [ -f "$log" ] && { echo "--- $log" >&2; tail -n 40 "$log" >&2; }
  done
  exit 1
}

mkdir -p "$work/files"
head -c 1572864 /dev/urandom >"$work/files/photo.jpg"
start_cloud "$work/cloud"

(cd "$work" && exec env LANG=en_US.UTF-8 ZORP_LINK_PORT=$link_port "$bin/zorp" \
   >"$work/zorp.out" 2>"$work/zorp.err") &
zorp_pid=$!
# The page hands over the session; its watch shows the end of the upload.
"$bin/zorp-page" --port "$link_port" --connect-timeout 30 -c QSESSIONID=desktop \
  -c cookieUserAccount=desktop --watch --timeout 120 hello >"$work/page.out" 2>&1 &
page_pid=$!
wait_until 30 window_named "$zorp_pid" "Upload" >/dev/null || fail "no drop window"
drop=$(window_named "$zorp_pid" "Upload")
wait_until 30 grep -q '"type":0' "$work/page.out" || fail "the page got no hello reply"

# The file manager in icon view, at the top left of the screen with the one file.
pcmanfm --no-desktop "$work/files" >"$work/fm.log" 2>&1 &
fm_pid=$!
fm_window() { xdotool search --onlyvisible --pid "$fm_pid" 2>/dev/null | head -n 1; }
wait_until 30 fm_window >/dev/null || fail "the file manager shows no window"
fm=$(fm_window)
xdotool windowmove --sync "$fm" 0 0
sleep 1.5
"$shot" "$artifacts/file-manager.png" >/dev/null

# Where the icon and the drop window are, on the screen.
eval "$(xdotool getwindowgeometry --shell "$drop")"
drop_x=$((X + WIDTH / 2)) drop_y=$((Y + HEIGHT / 2))
icon_x=206 icon_y=100

xdotool mousemove --sync "$icon_x" "$icon_y"
sleep 0.3
xdotool mousedown 1
sleep 0.3
steps=25
for ((i = 1; i <= steps; i++)); do
  xdotool mousemove --sync $((icon_x + (drop_x - icon_x) * i / steps)) $((icon_y + (drop_y - icon_y) * i / steps))
  sleep 0.05
done
sleep 0.5
xdotool mousemove --sync $((drop_x + 2)) "$drop_y"
sleep 0.5
xdotool mouseup 1

wait_until 60 grep -q '"type":3' "$work/page.out" || fail "the dropped file did not go up"
"$shot" "$artifacts/dropped.png" >/dev/null
fid=$(curl -s "$web/getSubFilesAction.json?pid=0" | grep -o '"id":[0-9]*,"modified":[0-9]*,"name":"photo.jpg"' \
  | sed -n 's/^"id":\([0-9]*\),.*/\1/p')
[ -n "$fid" ] || fail "photo.jpg is not on the server"
cmp -s <(curl -s "${download}fid=$fid") "$work/files/photo.jpg" || fail "photo.jpg arrived different"
echo "dropped from the file manager: photo.jpg is on the server, byte for byte"
