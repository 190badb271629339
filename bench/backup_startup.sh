#!/usr/bin/env bash
# The automatic backup with the real zorp and zorp-cloud on loopback, on a backup folder of
# 100,000 files in 1,000 folders:
#   - the start-up check with nothing changed since the last exit (zorp's own figure from its
#     log), beside `find -newer` over the same tree;
#   - the watches: the inotify watches zorp holds and its resident memory, beside the same zorp
#     without a backup folder;
#   - from the last write of 1,000 new files (10 folders of the tree, 100 each) to all of them
#     complete on the server, with the real 10 s quiet period.
#
#   bench/backup_startup.sh [build folder] [folders] [files per folder] [new files]
#   (defaults: build/default, 1000, 100, 1000; ZORP_BENCH_KEEP=1 keeps the folder and logs)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
folders=${2:-1000}
per_folder=${3:-100}
new_files=${4:-1000}
. bench/e2e_common.sh
bench_setup "$build" zorp-bench-backup
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM ZORP_TEST_TIME_SCALE
tree=$work/tree/Backup

echo "preparing: $((folders * per_folder)) files in $folders folders"
for ((d = 0; d < folders; d++)); do
  mkdir -p "$tree/d$d"
  head -c $((per_folder * 64)) /dev/urandom | (cd "$tree/d$d" && split -b 64 -a 3 - f)
done
sync
start_cloud
# The figures are read from zorp's log (its informational lines are written only with logging on).
printf '{"enable": 1}\n' >"$XDG_CONFIG_HOME/zorp/log.properties"
link_port=23175
while (exec 3<>"/dev/tcp/127.0.0.1/$link_port") 2>/dev/null; do link_port=$((link_port + 1)); done

start_zorp() {
  touch "$work/started"
  mkdir -p "$work/run"
  (cd "$work/run" && exec env ZORP_LINK_PORT=$link_port "$bin/zorp" >/dev/null 2>"$work/zorp.err") &
  zorp_pid=$!
  # zorp starts its work once a page has said hello.
  "$bin/zorp-page" --port "$link_port" --connect-timeout 30 --watch --timeout 3600 hello \
      >"$work/page.out" 2>&1 &
  page_pid=$!
}
stop_zorp() {
  kill -TERM "$zorp_pid"
  wait "$zorp_pid" 2>/dev/null || true
  kill "$page_pid" 2>/dev/null || true
  wait "$page_pid" 2>/dev/null || true
  zorp_pid="" page_pid=""
}
log_has() { find "$work" -name 'mg_log_*' -newer "$work/started" -exec grep -h -- "$1" {} + 2>/dev/null; }
wait_log() {
  for _ in $(seq 1200); do log_has "$1" >/dev/null && return 0; sleep 0.1; done
  echo "zorp did not log: $1" >&2; cat "$work/zorp.err" >&2; exit 1
}
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$zorp_pid/status"; }
watches() { cat /proc/"$zorp_pid"/fdinfo/* 2>/dev/null | grep -c '^inotify wd:' || true; }

# A first run without backup folders: the databases, the user, a clean exit; its figures are
# the baseline.
start_zorp
wait_log "message loop running\|CheckDirChangeMgr - the start-up check is over"
sleep 2
base_rss=$(rss_kib)
base_watches=$(watches)
stop_zorp
config="$XDG_DATA_HOME/Quorva/User Data/zor/config"
for user in $(sqlite3 "$config" "SELECT id FROM user;"); do
  sqlite3 "$config" "INSERT INTO autobackupdir VALUES(NULL,'$tree',-1,$user);"
done
sleep 1.1  # past the second of the exit: nothing of the tree is newer than it

touch "$work/stamp"
find_start=$(date +%s%N)
found=$(find "$tree" -newer "$work/stamp" | wc -l)
find_ms=$(( ($(date +%s%N) - find_start) / 1000000 ))

start_zorp
wait_log "CheckDirChangeMgr - the start-up check is over"
check_ms=$(log_has "the start-up check is over" | sed -n 's/.*over after \([0-9]*\) ms.*/\1/p' | tail -n 1)
wait_log "AutoBackupMonitorMgr - watching"
sleep 2
rss=$(rss_kib)
used=$(watches)

state_files() { curl -s "http://127.0.0.1:$cloud_port/admin/state" | sed -n 's/.*"files" *: *\([0-9]*\).*/\1/p'; }
before=$(state_files)
for ((i = 0; i < new_files; i++)); do
  head -c 256 /dev/urandom >"$tree/d$((i % 10))/new$i"
done
last_write=$(date +%s%N)
for _ in $(seq 6000); do
  [ "$(state_files)" -ge $((before + new_files)) ] && break
  sleep 0.05
done
landed_s=$(awk -v a="$last_write" -v b="$(date +%s%N)" 'BEGIN { printf "%.2f", (b - a) / 1e9 }')
after=$(state_files)
stop_zorp

echo "start-up check, nothing changed:   ${check_ms} ms  (find -newer: ${find_ms} ms, ${found} found)"
echo "inotify watches:                   ${used}  (without backup: ${base_watches})"
echo "resident memory:                   $((rss / 1024)) MiB  (without backup: $((base_rss / 1024)) MiB, +$(((rss - base_rss) / 1024)) MiB)"
echo "$new_files new files, last write to all complete on the server: ${landed_s} s  (10 s of it the quiet period; $((after - before)) files landed)"
