#!/usr/bin/env bash
# Download benchmark (not a test): the two ways the program downloads, each
# run under Wine against curl, all fetching the same 256 MB file from nginx
# on loopback, in one run: the transfer client's FileFromURL (bvsync.exe,
# WinInet) and the wizard's plain GET DownloadToFile (bvget.exe, a socket of
# its own).
# Prints each throughput, its ratio to curl's (ours / curl; 1.0 means as
# fast), for the download alone and for the whole process (Wine's start
# included), and peak memory: the Windows process's peak working set for the
# big file and for a 1 KB one, and the Wine process's peak resident size as
# /usr/bin/time sees it. Then the cost of checking: the plain GET with and
# without hashing the body while writing it (bvget --sha256, as the wizard's
# checked downloads do), alternated BV_BENCH_ROUNDS times (3 unless given),
# the fastest of each compared.
#
#   bench/download_bench.sh              # 256 MB
#   BV_BENCH_MB=64 bench/download_bench.sh
source "$(dirname "$0")/../scripts/common.sh"

ensure_packages
MB=${BV_BENCH_MB:-256}
WORK=$BUILD/bench/download
log "windows build of bvsync and bvget"
BV_TARGETS="bvsync bvget" build_windows >/dev/null
BVSYNC=$BUILD/win/tools/bvsync.exe
BVGET=$BUILD/win/tools/bvget.exe

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
rm -f "$WORK/curl.bin"
log "curl"
t0=$(now)
curl -s -o "$WORK/curl.bin" "$url"
t1=$(now)
cmp -s "$WORK/site/big.bin" "$WORK/curl.bin" || { echo "curl's copy differs"; exit 1; }
head -c 1024 "$WORK/site/big.bin" > "$WORK/site/small.bin"

# measure LABEL EXE ARGS-BEFORE-URL...: the big file, then the 1 KB one.
measure() {
  local label=$1 exe=$2
  shift 2
  local dest small
  dest=$(printf 'Z:%s' "$WORK/ours.bin" | tr / '\\')
  small=$(printf 'Z:%s' "$WORK/ours-small.bin" | tr / '\\')
  rm -f "$WORK/ours.bin" "$WORK/ours-small.bin"
  log "$label"
  local t2 t3
  t2=$(now)
  /usr/bin/time -v -o "$WORK/time.txt" wine "$exe" --peak-memory "$@" "$url" "$dest" >"$WORK/out.txt" 2>"$WORK/err.txt"
  t3=$(now)
  wine "$exe" --peak-memory "$@" "http://127.0.0.1:$port/small.bin" "$small" >/dev/null 2>"$WORK/err-small.txt"
  cmp -s "$WORK/site/big.bin" "$WORK/ours.bin" || { echo "$label: the copy differs: $(cat "$WORK/out.txt")"; exit 1; }
  python3 - "$label" "$MB" "$t0" "$t1" "$t2" "$t3" "$WORK/err.txt" "$WORK/time.txt" "$WORK/err-small.txt" <<'PY'
import re, sys
label = sys.argv[1]
mb = float(sys.argv[2]); t0, t1, t2, t3 = map(float, sys.argv[3:7])
err = open(sys.argv[7]).read(); tv = open(sys.argv[8]).read(); small = open(sys.argv[9]).read()
figures = re.search(r"peak working set: (\d+) KB, operation: (\d+) ms", err)
base = re.search(r"peak working set: (\d+) KB", small)
reports = re.search(r"progress reports: (\d+)", err)
rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", tv)
curl, ours = mb / (t1 - t0), mb / (t3 - t2)
print(f"{label}")
print(f"  curl:              {curl:8.1f} MB/s ({t1 - t0:.2f} s, whole process)")
print(f"  ours, whole process: {ours:8.1f} MB/s ({t3 - t2:.2f} s: Wine start, set-up, download, exit); ratio to curl {ours / curl:.2f}")
if figures:
    took = int(figures.group(2)) / 1000.0
    print(f"  ours, download alone: {mb / took:8.1f} MB/s ({took:.2f} s); ratio to curl {mb / took / curl:.2f}")
    print(f"  peak working set: {int(figures.group(1)) / 1024:.1f} MB for {mb:.0f} MB"
          + (f", {int(base.group(1)) / 1024:.1f} MB for 1 KB" if base else ""))
if reports:
    print(f"  progress reports: {reports.group(1)}")
if rss:
    print(f"  wine process peak resident size (/usr/bin/time): {int(rss.group(1)) / 1024:.1f} MB")
PY
  rm -f "$WORK/ours.bin" "$WORK/ours-small.bin"
}

measure "bvsync fetch (the transfer client's FileFromURL, WinInet)" "$BVSYNC" fetch
measure "bvget (the wizard's plain GET DownloadToFile, own socket)" "$BVGET"

# The cost of the check: SHA-256 while writing, against the same download
# without it. Runs alternate so that both see the same machine; the fastest
# of each counts (the others met other work on the machine). First at
# loopback speed, then over a link of BV_BENCH_LINK_MBS MB/s (100 unless
# given: nginx's limit_rate on a second instance of the same site), as a
# fast real link would deliver the file.
ROUNDS=${BV_BENCH_ROUNDS:-3}
LINK=${BV_BENCH_LINK_MBS:-100}
expected=$(sha256sum "$WORK/site/big.bin" | cut -c1-64)
dest=$(printf 'Z:%s' "$WORK/ours.bin" | tr / '\\')
hash_cost() {
  local label=$1 from=$2 r mode ms digest opts
  local plain=() hashed=()
  log "bvget with and without hashing the body while writing it, $label ($ROUNDS rounds each)"
  for ((r = 0; r < ROUNDS; ++r)); do
    for mode in plain hashed; do
      rm -f "$WORK/ours.bin"
      opts=(--peak-memory)
      [ "$mode" = hashed ] && opts+=(--sha256)
      wine "$BVGET" "${opts[@]}" "$from" "$dest" >"$WORK/out.txt" 2>"$WORK/err.txt"
      ms=$(sed -n 's/.*operation: \([0-9]*\) ms.*/\1/p' "$WORK/err.txt")
      if [ "$mode" = hashed ]; then
        digest=$(sed -n 's/^SHA-256 //p' "$WORK/out.txt" | tr -d '\r')
        [ "$digest" = "$expected" ] || { echo "bvget --sha256 printed '$digest', sha256sum says $expected"; exit 1; }
        hashed+=("$ms")
      else
        plain+=("$ms")
      fi
      echo "  round $((r + 1)) $mode: $ms ms"
    done
  done
  rm -f "$WORK/ours.bin"
  python3 - "$MB" "${plain[*]}" "${hashed[*]}" <<'PY'
import sys
mb = float(sys.argv[1])
plain = [int(x) for x in sys.argv[2].split()]
hashed = [int(x) for x in sys.argv[3].split()]
p, h = min(plain), min(hashed)
print(f"  without hashing: {p / 1000:.2f} s ({mb / (p / 1000):.1f} MB/s), fastest of {plain}")
print(f"  hashing while writing: {h / 1000:.2f} s ({mb / (h / 1000):.1f} MB/s), fastest of {hashed}")
print(f"  hashing costs {100.0 * (h - p) / p:+.1f} % of the download's time (the digest matches sha256sum's)")
PY
}
hash_cost "loopback" "$url"

# The same site behind a link of LINK MB/s.
port2=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
"$ROOT/server/serve" stop "$WORK/run-link" >/dev/null 2>&1 || true
rm -rf "$WORK/run-link"
"$ROOT/server/serve" start "$WORK/site" "$port2" "$WORK/run-link" >/dev/null
trap 'cleanup; "$ROOT/server/serve" stop "$WORK/run-link" >/dev/null 2>&1 || true' EXIT
sed -i "s/^    server_tokens off;/    server_tokens off;\n    limit_rate ${LINK}m;/" "$WORK/run-link/nginx.conf"
nginx -p "$WORK/run-link/" -c "$WORK/run-link/nginx.conf" -s reload 2>/dev/null
sleep 1
hash_cost "over a $LINK MB/s link" "http://127.0.0.1:$port2/big.bin"
