#!/usr/bin/env bash
# The windows as a user meets them, on an X server of the test's own, in English, Simplified
# and Traditional Chinese, and in English again at twice the size (QT_SCALE_FACTOR=2): the real
# zorp uploads a file (slowed down by the server so that it is seen running) and downloads
# another (held mid-way), while the test hovers the drop window (tooltip), opens its menu with
# the right button, opens the backup settings from the page and adds a folder through the
# folder chooser with the keyboard alone, opens the transfer manager from the page and walks its
# three pages with the keyboard (Ctrl+1, Ctrl+2, Ctrl+3). Each view is kept as a PNG under
# ARTIFACTS/<language>/; a picture of one colour (nothing drawn) fails the test, as does a
# window that does not appear, a transfer that does not end, or a file that arrives different.
#
# usage: windows_screenshots_test.sh BUILD_DIR ARTIFACTS_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/desktop_common.sh"
artifacts=${2:?usage: windows_screenshots_test.sh BUILD_DIR ARTIFACTS_DIR}
# Big enough for the windows at twice the size (the last run).
export DESKTOP_SCREEN=${DESKTOP_SCREEN:-2560x1600x24}
desktop_setup "$1" zorp-desktop-windows
mkdir -p "$artifacts"
artifacts=$(cd "$artifacts" && pwd)

fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/run/*/zorp.err "$work/page.out"; do
    [ -f "$log" ] && { echo "--- $log" >&2; tail -n 40 "$log" >&2; }
  done
  exit 1
}

# take NAME [WINDOW]: the screen (or one window) into ARTIFACTS/<language>/NAME.png.
take() {
  "$shot" "$artifacts/$lang_dir/$1.png" ${2:+"$2"} || fail "screenshot $1 of $lang_dir shows nothing"
}

page_quiet() { ! kill -0 "$page_pid" 2>/dev/null; }
manager_page() {
  xdotool windowactivate --sync "$manager" 2>/dev/null || xdotool windowfocus --sync "$manager"
  xdotool key --clearmodifiers "ctrl+$1"
  sleep 0.5
}

run_language() {
  lang_dir=$1
  local locale=$2 drop_title=$3 manager_title=$4 backup_title=$5 chooser_title=$6 scale=${7:-1}
  local run=$work/run/$lang_dir
  rm -rf "$XDG_DATA_HOME" "$XDG_CACHE_HOME" && mkdir -p "$XDG_DATA_HOME" "$XDG_CACHE_HOME"
  mkdir -p "$run/local" "$run/down" "$artifacts/$lang_dir"
  start_cloud "$run/cloud"
  # The one folder in the home folder, for the folder chooser to offer.
  mkdir -p "$HOME/Holiday photos"

  # What goes up and what comes down.
  head -c 6291456 /dev/urandom >"$run/local/report.pdf"
  local planted
  planted=$(curl -s "$admin/plant?name=holiday.mp4&size=8388608&fill=random&seed=7" | id_of)
  [ -n "$planted" ] || fail "could not plant the cloud file"
  # Each chunk waits 400 ms, and the download stops for 8 s after 2 MiB: both stay running for
  # the pictures, then finish.
  curl -sf "$admin/fault?action=upload&kind=delay&ms=400&count=1000&ttl=120" >/dev/null
  curl -sf "$admin/fault?action=download&kind=stall&ms=8000&bytes=2097152&count=1&ttl=120" >/dev/null

  (cd "$run" && exec env LANG="$locale" QT_SCALE_FACTOR="$scale" ZORP_LINK_PORT=$link_port "$bin/zorp" \
     >"$run/zorp.out" 2>"$run/zorp.err") &
  zorp_pid=$!
  # One page session for the whole run: its commands come through a pipe. zorp shows its
  # windows once the page has handed over the session.
  rm -f "$work/page.in" && mkfifo "$work/page.in"
  "$bin/zorp-page" --port "$link_port" --connect-timeout 30 -c QSESSIONID=desktop \
    -c cookieUserAccount=desktop --watch --timeout 120 --stdin hello \
    <"$work/page.in" >"$work/page.out" 2>&1 &
  page_pid=$!
  exec 4>"$work/page.in"
  local drop=""
  wait_until 30 window_named "$zorp_pid" "$drop_title" >/dev/null || fail "no drop window ($drop_title)"
  drop=$(window_named "$zorp_pid" "$drop_title")
  sleep 0.5
  take drop-idle "$drop"

  "$bin/zorp-page" --print upload --pid 0 "$run/local/report.pdf" >&4
  wait_until 30 grep -q '"type":15' "$work/page.out" || fail "the upload did not start"
  take drop-uploading "$drop"

  # Hover: the tooltip window with the transfer figures.
  xdotool mousemove --window "$drop" 40 18
  sleep 0.3
  xdotool mousemove --window "$drop" 60 18
  sleep 1
  take tooltip

  # The menu at the cursor.
  xdotool click 3
  sleep 1
  take menu
  xdotool key Escape
  sleep 0.3

  # The backup settings from the page. With the keyboard alone: Space on the add button opens
  # the folder chooser, Right opens the home folder, Down goes to its folder, Space ticks it and
  # Enter chooses it; the window then lists it. Escape puts the window away (nothing stored).
  # The pointer away from the drop window first, so that its tooltip goes (timer 1008).
  xdotool mousemove 10 10
  sleep 2.5
  "$bin/zorp-page" --print backup-settings >&4
  wait_until 20 window_named "$zorp_pid" "$backup_title" >/dev/null \
    || fail "no backup settings window ($backup_title)"
  local settings chooser
  settings=$(window_named "$zorp_pid" "$backup_title")
  sleep 0.5
  xdotool windowactivate --sync "$settings" 2>/dev/null || xdotool windowfocus --sync "$settings"
  xdotool key --clearmodifiers space
  wait_until 20 window_named "$zorp_pid" "$chooser_title" >/dev/null \
    || fail "no folder chooser ($chooser_title)"
  chooser=$(window_named "$zorp_pid" "$chooser_title")
  sleep 0.5
  xdotool windowactivate --sync "$chooser" 2>/dev/null || xdotool windowfocus --sync "$chooser"
  xdotool key --clearmodifiers Right Down space
  sleep 0.5
  take folder-chooser "$chooser"
  xdotool key --clearmodifiers Return
  wait_until 10 eval '! window_named "$zorp_pid" "$chooser_title" >/dev/null' \
    || fail "Enter did not close the folder chooser"
  sleep 0.5
  take backup-settings "$settings"
  xdotool windowactivate --sync "$settings" 2>/dev/null || xdotool windowfocus --sync "$settings"
  xdotool key --clearmodifiers Escape
  wait_until 10 eval '! window_named "$zorp_pid" "$backup_title" >/dev/null' \
    || fail "Escape did not put the backup settings away"

  # The download, then the manager from the page.
  "$bin/zorp-page" --print download --url "${download}fid=$planted" --size 8388608 \
    --path "$run/down/holiday.mp4" >&4
  "$bin/zorp-page" --print show-manager >&4
  wait_until 20 window_named "$zorp_pid" "$manager_title" >/dev/null \
    || fail "no transfer manager ($manager_title)"
  manager=$(window_named "$zorp_pid" "$manager_title")
  sleep 1
  manager_page 1
  take manager-uploads "$manager"
  manager_page 2
  take manager-downloads "$manager"

  # Both finish; the history then lists them.
  curl -sf "$admin/clear" >/dev/null
  wait_until 90 grep -q '"type":3' "$work/page.out" || fail "the upload did not end"
  wait_until 90 grep -q '"type":4' "$work/page.out" || fail "the download did not end"
  manager_page 2
  take manager-downloads-done "$manager"
  manager_page 3
  take manager-history "$manager"
  take screen

  # What arrived is what was sent.
  cmp -s <(curl -s "${download}fid=$planted") "$run/down/holiday.mp4" \
    || fail "the downloaded file differs"
  "$bin/zorp-page" --print quit >&4
  exec 4>&-
  wait_until 30 page_quiet || stop_pid "$page_pid"
  page_pid=""
  wait_until 30 eval '! kill -0 $zorp_pid 2>/dev/null' || fail "zorp did not quit"
  zorp_pid=""
  stop_pid "$cloud_pid"
  cloud_pid=""
  "$bin/zorp-cloud" --data "$run/cloud" --list | grep -q "report.pdf" \
    || fail "the uploaded file is not on the server"
  echo "$lang_dir: $(ls "$artifacts/$lang_dir" | tr '\n' ' ')"
}

run_language en en_US.UTF-8 "Upload" "Transmission Manager" "AutoBackupConfiguration" \
  "Please choose folders to backup"
run_language zh_CN zh_CN.UTF-8 "上传" "传输管理器" "自动备份设置" "请选择要备份的文件夹"
run_language zh_TW zh_TW.UTF-8 "上傳" "傳輸管理員" "自動備份設定" "請選擇要備份的資料夾"
run_language en_2x en_US.UTF-8 "Upload" "Transmission Manager" "AutoBackupConfiguration" \
  "Please choose folders to backup" 2
echo "screenshots in $artifacts"
