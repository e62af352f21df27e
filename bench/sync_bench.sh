#!/usr/bin/env bash
# Sync-server benchmark (not a test): the load of server/sync_load.py (each
# client uploads, lists and fetches files of 0 B to 1 MB, and sends and
# fetches a small one by remote call; slow clients are left to the load test,
# since the slowest client would set the run's length) at 1, 10
# and 50 clients, straight to one sync-server process and through nginx to
# two processes sharing one store. Prints requests a second and the median
# and 99th-percentile latency of each run.
#
#   bench/sync_bench.sh                  # 10 rounds per client
#   BV_BENCH_ROUNDS=4 bench/sync_bench.sh
source "$(dirname "$0")/../scripts/common.sh"

ROUNDS=${BV_BENCH_ROUNDS:-10}
WORK=$BUILD/bench/sync
rm -rf "$WORK"
mkdir -p "$WORK"
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}
server_pid=""
cleanup() {
  [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
  python3 "$ROOT/server/sync-serve" stop "$WORK/proxy" >/dev/null 2>&1 || true
}
trap cleanup EXIT

direct=$(free_port)
python3 "$ROOT/server/sync_server.py" "$WORK/store-direct" --port "$direct" >"$WORK/direct.log" 2>&1 &
server_pid=$!
until grep -q "127.0.0.1:" "$WORK/direct.log" 2>/dev/null; do sleep 0.1; done
proxy=$(free_port)
python3 "$ROOT/server/sync-serve" start "$WORK/store-proxy" "$proxy" "$WORK/proxy" --backends 2 >/dev/null

for clients in 1 10 50; do
  slow=0
  log "$clients client(s), $ROUNDS rounds each"
  printf '  straight:      '
  python3 "$ROOT/server/sync_load.py" "http://127.0.0.1:$direct" --clients "$clients" --slow "$slow" \
    --rounds "$ROUNDS" --server-pid "$server_pid"
  printf '  through nginx: '
  python3 "$ROOT/server/sync_load.py" "http://127.0.0.1:$proxy" --clients "$clients" --slow "$slow" \
    --rounds "$ROUNDS"
done
