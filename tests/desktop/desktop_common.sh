# Sourced by the desktop tests: an X server of their own (Xvfb), a scratch folder with XDG homes
# of its own, zorp-cloud on a free loopback port, and zorp with its windows on that display.
# Every process started here is stopped by its id at exit.

# desktop_setup BUILD NAME: checks the programs and the X tools (exit 77, skipped, when one is
# missing), makes $work, starts Xvfb (sets DISPLAY) and sets bin, shot, link_port.
desktop_setup() {
  bin=$(cd "$1/bin" 2>/dev/null && pwd) || { echo "no $1/bin: build first" >&2; exit 1; }
  for program in zorp zorp-cloud zorp-page zorp-shot; do
    [ -x "$bin/$program" ] || { echo "no $bin/$program: build it first" >&2; exit 1; }
  done
  for tool in Xvfb xdotool curl; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" >&2; exit 77; }
  done
  shot=$bin/zorp-shot
  work=$(mktemp -d -t "$2.XXXXXX")
  xvfb_pid="" cloud_pid="" zorp_pid="" page_pid=""
  trap desktop_cleanup EXIT
  export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache
  export XDG_RUNTIME_DIR=$work/runtime HOME=$work/home
  mkdir -p "$XDG_CONFIG_HOME/zorp" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$HOME"
  mkdir -m 700 -p "$XDG_RUNTIME_DIR"
  unset WAYLAND_DISPLAY QT_QPA_PLATFORM LC_ALL LC_MESSAGES
  export QT_QPA_PLATFORM=xcb

  # The X server picks a free display number and tells it on a pipe.
  local fifo=$work/displayfd
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 "${DESKTOP_SCREEN:-1280x800x24}" -nolisten tcp 3>"$fifo" \
    >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  local number=""
  read -r -t 20 number <"$fifo" || true
  [ -n "$number" ] || { echo "Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 1; }
  export DISPLAY=:$number

  link_port=23175
  while (exec 3<>"/dev/tcp/127.0.0.1/$link_port") 2>/dev/null; do
    link_port=$((link_port + 1))
  done
}

desktop_cleanup() {
  for pid in "$page_pid" "$zorp_pid" "$cloud_pid" "$xvfb_pid"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  done
  if [ -n "${DESKTOP_KEEP:-}" ]; then echo "kept: $work" >&2; else rm -rf "$work"; fi
}

# Starts zorp-cloud with its store in $1, sets cloud_port, admin, web and download, and points
# zorp's appConfig at it.
start_cloud() {
  "$bin/zorp-cloud" --listen 127.0.0.1:0 --data "$1" >"$work/cloud.out" 2>&1 &
  cloud_pid=$!
  cloud_port=""
  for _ in $(seq 100); do
    cloud_port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/cloud.out" 2>/dev/null)
    [ -n "$cloud_port" ] && break
    sleep 0.1
  done
  [ -n "$cloud_port" ] || { echo "zorp-cloud did not start" >&2; exit 1; }
  printf '{"host": "web.localhost:%s"}\n' "$cloud_port" >"$XDG_CONFIG_HOME/zorp/appConfig"
  admin="http://127.0.0.1:$cloud_port/admin"
  web="http://web.localhost:$cloud_port/qcd/filebackup"
  download="http://download.localhost:$cloud_port/qcd/fileshare/downloadFileAction.json?"
}

stop_pid() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# wait_until SECONDS COMMAND...: runs the command every 0.1 s until it succeeds; false when the
# time passes.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# The visible top-level windows of process $1, one X id per line.
visible_windows() {
  xdotool search --onlyvisible --pid "$1" 2>/dev/null || true
}

# The visible window of process $1 whose title is $2 (first match); empty when none.
window_named() {
  local id
  for id in $(visible_windows "$1"); do
    if [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "$2" ]; then
      echo "$id"
      return 0
    fi
  done
  return 1
}

id_of() { sed -n 's/.*"id":\([0-9]*\).*/\1/p'; }
