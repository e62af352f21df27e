#!/usr/bin/env bash
# Download benchmark (not a test): the transfer client's FileFromURL, run by
# bvsync.exe under Wine, against curl, both fetching the same 256 MB file
# from nginx on loopback, in one run. Prints both throughputs, their ratio
# (ours / curl; 1.0 means as fast) and bvsync's peak memory: the Windows
# process's peak working set as bvsync reports it, and the peak resident size
# of the Wine process as /usr/bin/time sees it.
#
#   bench/download_bench.sh              # 256 MB
#   BV_BENCH_MB=64 bench/download_bench.sh
source "$(dirname "$0")/../scripts/common.sh"

ensure_packages
MB=${BV_BENCH_MB:-256}
WORK=$BUILD/bench/download
log "windows build of bvsync"
build_windows >/dev/null
BVSYNC=$BUILD/win/tools/bvsync.exe

mkdir -p "$WORK/site"
if [ "$(stat -c %s "$WORK/site/big.bin" 2>/dev/null || echo 0)" != $((MB * 1048576)) ]; then
  log "generating a $MB MB file"
  head -c $((MB * 1048576)) /dev/urandom > "$WORK/site/big.bin"
fi
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
cleanup() {
  "$ROOT/server/serve" stop "$WORK/run" >/dev/null 2>&1 || true
  wine_stop
  rm -f "$WORK/curl.bin" "$WORK/ours.bin"
}
trap cleanup EXIT
"$ROOT/server/serve" start "$WORK/site" "$port" "$WORK/run" >/dev/null
wine_start
url=http://127.0.0.1:$port/big.bin

now() { date +%s.%N; }
rm -f "$WORK/curl.bin" "$WORK/ours.bin"
log "curl"
t0=$(now)
curl -s -o "$WORK/curl.bin" "$url"
t1=$(now)
log "bvsync fetch (FileFromURL under Wine)"
dest=$(printf 'Z:%s' "$WORK/ours.bin" | tr / '\\')
t2=$(now)
/usr/bin/time -v -o "$WORK/time.txt" wine "$BVSYNC" --peak-memory fetch "$url" "$dest" >"$WORK/out.txt" 2>"$WORK/err.txt"
t3=$(now)
log "bvsync fetch of a 1 KB file (memory baseline)"
head -c 1024 "$WORK/site/big.bin" > "$WORK/site/small.bin"
wine "$BVSYNC" --peak-memory fetch "http://127.0.0.1:$port/small.bin" "${dest%.bin}-small.bin" >/dev/null 2>"$WORK/err-small.txt"
cmp -s "$WORK/site/big.bin" "$WORK/ours.bin" || { echo "bvsync's copy differs: $(cat "$WORK/out.txt")"; exit 1; }
cmp -s "$WORK/site/big.bin" "$WORK/curl.bin" || { echo "curl's copy differs"; exit 1; }

rm -f "$WORK/ours-small.bin"
python3 - "$MB" "$t0" "$t1" "$t2" "$t3" "$WORK/err.txt" "$WORK/time.txt" "$WORK/err-small.txt" <<'PY'
import re, sys
mb = float(sys.argv[1]); t0, t1, t2, t3 = map(float, sys.argv[2:6])
err = open(sys.argv[6]).read(); tv = open(sys.argv[7]).read(); small = open(sys.argv[8]).read()
figures = re.search(r"peak working set: (\d+) KB, operation: (\d+) ms", err)
base = re.search(r"peak working set: (\d+) KB", small)
rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", tv)
curl, ours = mb / (t1 - t0), mb / (t3 - t2)
print(f"curl:                 {curl:8.1f} MB/s ({t1 - t0:.2f} s, whole process)")
print(f"bvsync whole process: {ours:8.1f} MB/s ({t3 - t2:.2f} s: Wine start, internet API set-up, fetch, exit)")
print(f"throughput ratio bvsync/curl, whole process: {ours / curl:.2f}")
if figures:
    fetch = int(figures.group(2)) / 1000.0
    print(f"bvsync fetch alone:   {mb / fetch:8.1f} MB/s ({fetch:.2f} s from FileFromURL to the result)")
    print(f"throughput ratio bvsync fetch/curl: {mb / fetch / curl:.2f}")
    print(f"bvsync peak working set: {int(figures.group(1)) / 1024:.1f} MB for {mb:.0f} MB"
          + (f", {int(base.group(1)) / 1024:.1f} MB for 1 KB" if base else ""))
if rss:
    print(f"wine process peak resident size (/usr/bin/time): {int(rss.group(1)) / 1024:.1f} MB")
PY
