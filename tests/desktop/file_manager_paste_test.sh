#!/usr/bin/env bash
# Cloud files copied in the page, pasted with Ctrl+V into a real file manager's folder (PCManFM
# on an X server of the test's own): two files and a folder's whole tree arrive byte for byte
# through the download queue and the placeholder does not stay behind; a second paste of the
# same copy brings nothing more; a new copy pastes into a second folder; a paste while offline
# waits for the online state; and a read of the placeholder into a pipe downloads nothing.
#
# usage: file_manager_paste_test.sh BUILD_DIR [ARTIFACTS_DIR] [fuse|file]
#   fuse (the default): the placeholder as zorp serves it where FUSE can be mounted;
#   file: zorp told to use its fallback, a plain file watched with inotify.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/desktop_common.sh"
command -v pcmanfm >/dev/null || { echo "SKIP: pcmanfm is not installed" >&2; exit 77; }
desktop_setup "$1" zorp-desktop-paste
artifacts=${2:-$work/artifacts}
way=${3:-fuse}
extra_env=()
[ "$way" = file ] && extra_env=(ZORP_CLIPBOARD_NO_FUSE=1)
if [ "$way" = fuse ] && [ ! -c /dev/fuse ]; then echo "SKIP: no /dev/fuse" >&2; exit 77; fi
mkdir -p "$artifacts"
fm_pids=()
trap 'for p in "${fm_pids[@]}"; do stop_pid "$p"; done; desktop_cleanup' EXIT

fail() {
  echo "FAIL: $*" >&2
  "$shot" "$artifacts/paste-failed.png" >/dev/null 2>&1 || true
  for log in "$work"/mg_log_*.log "$work/page.out"; do
    [ -f "$log" ] && { echo "--- $log" >&2; grep -v "keep-alive\|\"type\":23" "$log" | tail -n 60 >&2; }
  done
  exit 1
}

start_cloud "$work/cloud"
plant() { curl -s "$admin/plant?name=$1&size=$2&fill=random&seed=$3&pid=${4:-0}" | id_of; }
report=$(plant report.pdf 1048576 1)
song=$(plant song.mp3 2097152 2)
album=$(curl -s "$web/createPathAction.json?path=Album&pid=0" | id_of)
inner=$(curl -s "$web/createPathAction.json?path=Inner&pid=$album" | id_of)
cover=$(plant cover.jpg 300000 3 "$album")
deep=$(plant deep.bin 65536 4 "$inner")
notes=$(plant notes.txt 1234 5)
[ -n "$report" ] && [ -n "$song" ] && [ -n "$cover" ] && [ -n "$deep" ] && [ -n "$notes" ] \
  || fail "could not plant the cloud files"

(cd "$work" && exec env "${extra_env[@]}" LANG=en_US.UTF-8 ZORP_LINK_PORT=$link_port "$bin/zorp" \
   >"$work/zorp.out" 2>"$work/zorp.err") &
zorp_pid=$!
rm -f "$work/page.in" && mkfifo "$work/page.in"
"$bin/zorp-page" --port "$link_port" --connect-timeout 30 -c QSESSIONID=desktop \
  -c cookieUserAccount=desktop --watch --timeout 300 --stdin hello \
  <"$work/page.in" >"$work/page.out" 2>&1 &
page_pid=$!
exec 4>"$work/page.in"
wait_until 30 window_named "$zorp_pid" "Upload" >/dev/null || fail "no drop window"
send() { "$bin/zorp-page" --print "$@" >&4; }
ended() { grep -c '"type":4' "$work/page.out" || true; }
ended_at_least() { [ "$(ended)" -ge "$1" ]; }
absent() { [ ! -e "$1" ]; }
log_has() { grep -q "$1" "$work"/mg_log_*.log 2>/dev/null; }

# open_folder DIR: the file manager's window shows DIR (the first call starts it; later ones
# type the folder into its location bar, as a user would); sets fm.
fm=""
open_folder() {
  if [ -z "$fm" ]; then
    pcmanfm --no-desktop "$1" >>"$work/fm.log" 2>&1 &
    fm_pids+=($!)
    fm_window() { xdotool search --onlyvisible --class pcmanfm 2>/dev/null | head -n 1; }
    wait_until 30 fm_window >/dev/null || fail "no file manager window on $1"
    fm=$(fm_window)
  else
    xdotool windowactivate --sync "$fm" 2>/dev/null || xdotool windowfocus --sync "$fm"
    xdotool key --clearmodifiers ctrl+l
    sleep 0.3
    xdotool type --delay 5 "$1"
    xdotool key Return
  fi
  sleep 1
}
paste_into_fm() {
  xdotool windowactivate --sync "$fm" 2>/dev/null || xdotool windowfocus --sync "$fm"
  xdotool mousemove --window "$fm" 400 300 click 1
  sleep 0.3
  xdotool key --clearmodifiers ctrl+v
}
same() { cmp -s <(curl -s "${download}fid=$1") "$2"; }

# 1. Two files and a folder tree into the first folder.
mkdir -p "$work/first" "$work/second" "$work/third"
open_folder "$work/first"
send copy --file "$report:report.pdf:1048576" --file "$song:song.mp3:2097152" --folder "$album:Album"
sleep 1
paste_into_fm
wait_until 60 ended_at_least 1 || fail "the pasted downloads did not end"
"$shot" "$artifacts/pasted.png" >/dev/null
same "$report" "$work/first/report.pdf" || fail "report.pdf differs"
same "$song" "$work/first/song.mp3" || fail "song.mp3 differs"
same "$cover" "$work/first/Album/cover.jpg" || fail "Album/cover.jpg differs"
same "$deep" "$work/first/Album/Inner/deep.bin" || fail "Album/Inner/deep.bin differs"
wait_until 10 absent "$work/first/Quorva.txt" || fail "the placeholder stayed in the folder"
echo "1: two files and a folder tree pasted, the placeholder gone"

# 2. The same copy again: nothing more is downloaded.
paste_into_fm
sleep 3
[ "$(ended)" -eq 1 ] || fail "a second paste of the same copy downloaded again"
[ "$(find "$work/first" -type f | wc -l)" -le 5 ] || fail "a second paste brought files"
echo "2: the same copy pasted again brings nothing"

# 3. A read into a pipe is no paste; a new copy pastes into a second folder.
send copy --file "$notes:notes.txt:1234"
sleep 1
cat "$XDG_RUNTIME_DIR/zorp-clipboard/Quorva.txt" | cat >/dev/null
wait_until 10 log_has "without writing a copy of it" || fail "the read into a pipe was not logged"
sleep 1
[ "$(ended)" -eq 1 ] || fail "a read into a pipe downloaded something"
open_folder "$work/second"
paste_into_fm
wait_until 60 ended_at_least 2 || fail "the paste into the second folder did not end"
same "$notes" "$work/second/notes.txt" || fail "notes.txt differs"
wait_until 10 absent "$work/second/Quorva.txt" || fail "the placeholder stayed in the second folder"
echo "3: a pipe read downloads nothing; a new copy pastes into a second folder"

# 4. Offline: the paste waits, and runs once online.
send copy --file "$report:report.pdf:1048576"
sleep 1
send offline
sleep 1
open_folder "$work/third"
paste_into_fm
sleep 3
[ ! -e "$work/third/report.pdf" ] || fail "a paste ran while offline"
send -c QSESSIONID=desktop -c cookieUserAccount=desktop online
wait_until 90 test -e "$work/third/report.pdf" || fail "the paste made offline never ran"
wait_until 60 same "$report" "$work/third/report.pdf" || fail "report.pdf pasted offline differs"
echo "4: a paste while offline ran once online"
echo "placeholder served by: $(grep -o 'is served by [^.]*' "$work"/mg_log_*.log | head -n 1)"
