# Sourced by the end-to-end benchmarks: starts zorp-cloud on a free loopback port with its store
# in $work/cloud, sets cloud_pid and cloud_port, and points zorp's appConfig at it. Needs $bin,
# $work and $XDG_CONFIG_HOME/zorp.
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
