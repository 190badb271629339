# Sourced by the end-to-end benchmarks, from the repository's top folder.

# bench_setup BUILD NAME: checks zorp, zorp-cloud and zorp-page in BUILD/bin (sets bin), makes a
# scratch folder (sets work) with XDG homes of its own, and at exit stops $page_pid, $zorp_pid
# and $cloud_pid and removes the folder (ZORP_BENCH_KEEP=1 keeps it and its logs).
bench_setup() {
  bin=$(cd "$1/bin" 2>/dev/null && pwd) || { echo "no $1/bin: build first" >&2; exit 1; }
  for program in zorp zorp-cloud zorp-page; do
    [ -x "$bin/$program" ] || { echo "no $bin/$program: build it first" >&2; exit 1; }
  done
  work=$(mktemp -d -t "$2.XXXXXX")
  page_pid="" zorp_pid="" cloud_pid=""
  trap bench_cleanup EXIT
  export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache
  export XDG_RUNTIME_DIR=$work/runtime HOME=$work/home
  mkdir -p "$XDG_CONFIG_HOME/zorp" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$HOME"
  mkdir -m 700 -p "$XDG_RUNTIME_DIR"
}

bench_cleanup() {
  for pid in "$page_pid" "$zorp_pid" "$cloud_pid"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  done
  if [ -n "${ZORP_BENCH_KEEP:-}" ]; then echo "kept: $work" >&2; else rm -rf "$work"; fi
}

# Starts zorp-cloud on a free loopback port with its store in $work/cloud, sets cloud_pid and
# cloud_port, and points zorp's appConfig at it.
start_cloud() {
  "$bin/zorp-cloud" --listen 127.0.0.1:0 --data "$work/cloud" >"$work/cloud.out" 2>&1 &
  cloud_pid=$!
  cloud_port=""
  for _ in $(seq 100); do
    cloud_port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/cloud.out")
    [ -n "$cloud_port" ] && break
    sleep 0.1
  done
  [ -n "$cloud_port" ] || { echo "zorp-cloud did not start" >&2; exit 1; }
  printf '{"host": "web.localhost:%s"}\n' "$cloud_port" >"$XDG_CONFIG_HOME/zorp/appConfig"
}
