#!/usr/bin/env bash
# Start-up time and idle memory of zorp: for each run, the time from launching the program to
# its message loop running (the "ZORP message loop running" log line), and its resident memory
# (VmRSS) after two seconds of idling. Runs headless on the offscreen platform, in a temporary
# home of its own.
#
#   bench/startup.sh [build folder] [runs]      (defaults: build/default, 5)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
runs=${2:-5}
zorp="$build/bin/zorp"
[ -x "$zorp" ] || { echo "no $zorp: build it first" >&2; exit 1; }

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home"/{data,cache,config/zorp,run,logs}
chmod 700 "$home/run"
printf '{"enable": 1, "path": "%s/logs"}\n' "$home" > "$home/config/zorp/log.properties"

now_us() { echo $(( $(date +%s%N) / 1000 )); }

startup_ms=()
rss_kib=()
for ((i = 1; i <= runs; i++)); do
  rm -f "$home"/logs/*
  start=$(now_us)
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
      XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" XDG_CONFIG_HOME="$home/config" \
      XDG_RUNTIME_DIR="$home/run" HOME="$home" LANG=en_US.UTF-8 \
      "$zorp" >/dev/null 2>&1 &
  pid=$!
  until grep -qs "ZORP message loop running" "$home"/logs/mg_log_*.log; do
    if ! kill -0 "$pid" 2>/dev/null; then echo "zorp ended early" >&2; exit 1; fi
    sleep 0.001
  done
  end=$(now_us)
  startup_ms+=("$(( (end - start) / 1000 )).$(( (end - start) % 1000 / 100 ))")
  sleep 2
  rss_kib+=("$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")")
  kill -TERM "$pid"
  wait "$pid" || true
done

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
echo "zorp start-up, $runs runs ($zorp)"
echo "  process start to running message loop (ms): ${startup_ms[*]}"
echo "  median: $(median "${startup_ms[@]}") ms"
echo "  resident memory when idle (KiB): ${rss_kib[*]}"
echo "  median: $(median "${rss_kib[@]}") KiB"
