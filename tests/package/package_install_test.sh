#!/usr/bin/env bash
# The Debian package, proven rather than assumed: CPack builds it from the build tree, lintian
# finds no error in it, apt could install it, and unpacked into a scratch root (dpkg -x) it has
# the layout of a desktop program. Then the unpacked programs do the main job: the unpacked
# zorp-cloud serves, the unpacked zorp (skins from the root's share/zorp/ui, appConfig and
# log.properties from the user's configuration folder) is driven by the unpacked zorp-page
# through an upload of a file and a folder, and the server holds what was sent.
#
#   package_install_test.sh BUILD_DIR VERSION CPACK
# Exit status 77: a tool it needs is missing (ctest counts the test as skipped).
set -uo pipefail
build=$1
version=$2
cpack=$3

for tool in "$cpack" dpkg-deb dpkg-shlibdeps lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing (scripts/bootstrap installs it)"
    exit 77
  fi
done

work=$(mktemp -d -t zorp-package.XXXXXX)
cloud_pid=""
zorp_pid=""
xvfb_pid=""
page_pid=""
cleanup() {
  [ -n "$page_pid" ] && kill "$page_pid" 2>/dev/null && wait "$page_pid" 2>/dev/null
  # Only what this test started, by id.
  [ -n "$zorp_pid" ] && kill -9 "$zorp_pid" 2>/dev/null && wait "$zorp_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  [ -n "$cloud_pid" ] && kill "$cloud_pid" 2>/dev/null && wait "$cloud_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  for f in "$work"/*.out "$work"/*.err "$work"/logs/*; do
    [ -s "$f" ] && { echo "--- $f"; tail -n 40 "$f"; }
  done
  exit 1
}

# Polls a condition (a command) every 50 ms until it holds or SECONDS pass.
wait_for() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.05
  done
}

echo "== the package"
"$cpack" --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.out" 2>&1 ||
  fail "cpack failed"
deb=$work/pkg/zorp_${version}_amd64.deb
[ -f "$deb" ] || fail "no $(basename "$deb") among: $(ls "$work/pkg")"
dpkg-deb -f "$deb" Package Version Architecture Depends Recommends

echo "== lintian"
lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.out" 2>&1
lintian_status=$?
grep -v 'running with root privileges' "$work/lintian.out"
[ "$lintian_status" -eq 0 ] || fail "lintian found errors"

echo "== its dependencies are Debian packages apt can install"
# A simulation: nothing is installed. Every dependency must be known to apt (or installed).
if command -v apt-get >/dev/null; then
  apt-get -s -q --no-install-recommends install "$deb" >"$work/apt.out" 2>&1 ||
    fail "apt could not install the package"
  grep -c '^Inst ' "$work/apt.out" | sed 's/^/   packages apt would add: /'
fi

echo "== unpacked into a scratch root"
root=$work/root
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x failed"
for f in usr/bin/zorp usr/bin/zorp-cloud usr/bin/zorp-page \
         usr/share/zorp/ui/dnd_ENU.xml usr/share/zorp/ui/mainui.xml usr/share/zorp/ui/logo.png \
         usr/share/zorp/abfoldicon.ico \
         usr/share/applications/zorp.desktop usr/share/icons/hicolor/scalable/apps/zorp.svg \
         etc/xdg/autostart/zorp.desktop usr/lib/systemd/user/zorp-cloud.service \
         usr/share/man/man1/zorp.1.gz usr/share/man/man1/zorp-cloud.1.gz \
         usr/share/man/man1/zorp-page.1.gz usr/share/doc/zorp/copyright; do
  [ -f "$root/$f" ] || fail "the package lacks /$f"
done
for entry in usr/share/applications/zorp.desktop etc/xdg/autostart/zorp.desktop; do
  exec_line=$(sed -n 's/^Exec=//p' "$root/$entry")
  [ -x "$root/usr/bin/${exec_line%% *}" ] || fail "/$entry starts '$exec_line', not a packaged program"
  grep -qx 'Icon=zorp' "$root/$entry" || fail "/$entry has not the packaged icon"
done
unit=$root/usr/lib/systemd/user/zorp-cloud.service
grep -qx 'ExecStart=zorp-cloud .*' "$unit" || fail "the user unit does not start zorp-cloud"
if command -v systemd-analyze >/dev/null; then
  # systemd finds zorp-cloud on its own search path once installed; here it is in the root.
  mkdir -p "$work/unit"
  sed "s|^ExecStart=zorp-cloud|ExecStart=$root/usr/bin/zorp-cloud|" "$unit" >"$work/unit/zorp-cloud.service"
  systemd-analyze verify --man=no "$work/unit/zorp-cloud.service" >"$work/unit.out" 2>&1 ||
    fail "systemd-analyze refuses the user unit: $(cat "$work/unit.out")"
fi
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/xdg/autostart/zorp.desktop ||
  fail "the autostart entry is not a conffile"
bin=$root/usr/bin
"$bin/zorp" --version | grep -qx "zorp $version" || fail "zorp --version: $("$bin/zorp" --version)"
"$bin/zorp" --help | grep -q '^Usage: zorp' || fail "zorp --help says no usage"
for tool in zorp-cloud zorp-page; do
  "$bin/$tool" --version | grep -qx "$tool $version" || fail "$tool --version"
done

echo "== the unpacked programs upload through the unpacked zorp"
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data
export XDG_CACHE_HOME=$work/cache XDG_RUNTIME_DIR=$work/runtime
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM ZORP_PAGE_COOKIES LC_ALL LC_MESSAGES
mkdir -p "$HOME" "$XDG_CONFIG_HOME/zorp" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$work/logs"
mkdir -m 700 -p "$XDG_RUNTIME_DIR"

"$bin/zorp-cloud" --listen 127.0.0.1:0 --data "$work/store" >"$work/cloud.out" 2>"$work/cloud.err" &
cloud_pid=$!
cloud_port() { sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/cloud.out"; }
cloud_listens() { [ -n "$(cloud_port)" ]; }
wait_for 10 cloud_listens || fail "zorp-cloud did not start"
printf '{"host": "web.localhost:%s"}\n' "$(cloud_port)" >"$XDG_CONFIG_HOME/zorp/appConfig"
printf '{"enable": 1, "path": "%s"}\n' "$work/logs" >"$XDG_CONFIG_HOME/zorp/log.properties"

# Starts zorp (the command in the arguments) on a link port of its own, in $work, and sets
# link_port and zorp_pid. A port that looked free can be taken by a test running beside this
# one before zorp binds it; zorp then gives up at once, and another port is tried.
start_zorp() {
  local attempt i
  for attempt in 1 2 3 4 5; do
    # Below the kernel's range for outgoing connections (32768 up), whose local ports the
    # probe cannot see.
    link_port=$((20000 + RANDOM % 12000))
    while (exec 3<>"/dev/tcp/127.0.0.1/$link_port") 2>/dev/null; do
      link_port=$((link_port + 1))
    done
    (cd "$work" && exec env ZORP_LINK_PORT=$link_port "$@" >"$work/zorp.out" 2>"$work/zorp.err") &
    zorp_pid=$!
    for i in $(seq 20); do
      kill -0 "$zorp_pid" 2>/dev/null || break
      sleep 0.05
    done
    if kill -0 "$zorp_pid" 2>/dev/null || ! grep -q 'cannot listen for the web page' "$work/zorp.err"; then
      return 0
    fi
    wait "$zorp_pid" 2>/dev/null
    rm -f "$work"/logs/mg_log_*.log  # the log of the attempt that gave up is not the one to read
    echo "link port $link_port was taken meanwhile; another one" >&2
  done
  fail "zorp found no link port it could listen on"
}
start_zorp env ZORP_TEST_TIME_SCALE=0.05 LANG=en_US.UTF-8 "$bin/zorp"

mkdir -p "$work/local/Trip/notes"
head -c 700000 /dev/urandom >"$work/local/Trip/photo.jpg"
printf 'day one\n' >"$work/local/Trip/notes/diary.txt"
printf 'packed by the installed zorp\n' >"$work/local/readme.txt"
# 3: the uploads finished; 5: some failed.
"$bin/zorp-page" --port "$link_port" --connect-timeout 30 -c QSESSIONID=pkg \
  -c cookieUserAccount=pkg --wait-for 3 --wait-for 5 --timeout 60 \
  upload --pid 0 "$work/local/Trip" "$work/local/readme.txt" >"$work/page.out" 2>"$work/page.err" ||
  fail "zorp-page: no end of the upload"
grep -q '"type":3' "$work/page.out" || fail "the upload did not finish: $(cat "$work/page.out")"
# The page left: zorp quits by itself.
zorp_ended() { ! kill -0 "$zorp_pid" 2>/dev/null; }
wait_for 30 zorp_ended || fail "zorp did not quit after the page left"
wait "$zorp_pid"
zorp_status=$?
zorp_pid=""
[ "$zorp_status" -eq 0 ] || fail "zorp ended with status $zorp_status"

"$bin/zorp-cloud" --data "$work/store" --list >"$work/list.out" 2>&1 || fail "zorp-cloud --list"
sed 's/^/   /' "$work/list.out"
for path in /Trip/photo.jpg /Trip/notes/diary.txt /readme.txt; do
  grep -q "complete  *$path\$" "$work/list.out" || fail "the server lacks a complete $path"
done
# The windows were built from the unpacked skins, and none was missing.
log=$(ls "$work"/logs/mg_log_*.log 2>/dev/null | head -n 1)
[ -n "$log" ] || fail "no log file where the user's log.properties points"
grep -q "dnd_ENU.xml from $root/usr/share/zorp/ui/dnd_ENU.xml" "$log" ||
  fail "the drop window's skin did not come from the unpacked share/zorp/ui"
grep -q 'cannot be used' "$log" && fail "a skin could not be used"

# The desktop entry's command, as a desktop starts it (field codes dropped, the program found on
# the PATH), shows the drop window and, asked by the page, the transfer manager on a display.
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
  echo "== the desktop entry starts zorp with its windows"
  mkfifo "$work/displayfd"
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/displayfd" >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r -t 20 display_number <"$work/displayfd" || fail "Xvfb did not start"
  exec_line=$(sed -n 's/^Exec=//p' "$root/usr/share/applications/zorp.desktop" | sed 's/ *%[a-zA-Z]//g')
  rm -f "$work"/logs/mg_log_*.log
  start_zorp env DISPLAY=":$display_number" PATH="$bin:$PATH" LANG=en_US.UTF-8 sh -c "exec $exec_line"
  # The page stays connected while the windows are looked at (zorp quits when it leaves).
  "$bin/zorp-page" --port "$link_port" --connect-timeout 30 -c QSESSIONID=pkg -c cookieUserAccount=pkg \
    --watch --timeout 40 show-manager >"$work/page.out" 2>"$work/page.err" &
  page_pid=$!
  named() { DISPLAY=":$display_number" xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; }
  wait_for 20 named "Upload" || fail "the desktop entry's zorp shows no drop window"
  wait_for 20 named "Transmission Manager" || fail "the desktop entry's zorp shows no transfer manager"
  log=$(ls "$work"/logs/mg_log_*.log 2>/dev/null | head -n 1)
  grep -q "mainui_ENU.xml from $root/usr/share/zorp/ui/mainui_ENU.xml" "$log" ||
    fail "the transfer manager's skin did not come from the unpacked share/zorp/ui"
  kill "$page_pid" 2>/dev/null
  wait "$page_pid" 2>/dev/null || true
  wait_for 30 zorp_ended || fail "zorp did not quit after the page left"
  zorp_pid=""
fi
echo "the package installs, passes lintian and works unpacked"
exit 0
