#!/usr/bin/env bash
# Resume benchmark (not a test): an unattended installation under Wine over a
# line that cuts every connection after 1 MiB, against the same installation
# over the same line without cuts. The demo site (signed with the demo key)
# gets a program file of BV_BENCH_MB MiB (8 unless given) and is served by
# nginx on loopback behind tests/cut_proxy.py. Prints, for each run, the
# requests and the body bytes the line sent, the bytes installed (the sizes
# of the files fetched), their ratio (1.00: each byte sent once), and the
# time of the whole run and how much of it the unattended waits between
# retries took (1, 2, 4 ... s, at most 30, for each file that stalls).
#
#   bench/resume_bench.sh
#   BV_BENCH_MB=16 bench/resume_bench.sh
source "$(dirname "$0")/../scripts/common.sh"

ensure_packages
MB=${BV_BENCH_MB:-8}
WORK=$BUILD/bench/resume
log "windows build of the wizard and the demo site's tools"
BV_TARGETS="bvstartup bvzip standin" build_windows >/dev/null
EXE=$BUILD/win/app/bvstartup.exe
[ -f "$EXE" ] || EXE=$(find "$BUILD/win" -name bvstartup.exe | head -1)
BVZIP=$(find "$BUILD/win" -name bvzip.exe | head -1)
STANDIN=$(find "$BUILD/win" -name 'standin*.exe' | head -1)

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}
rm -rf "$WORK" && mkdir -p "$WORK"
printf '#!/bin/sh\nexec wine "%s" "$@"\n' "$BVZIP" > "$WORK/zip.sh"
chmod +x "$WORK/zip.sh"
wine_start
port=$(free_port)
python3 "$ROOT/server/make_site.py" --base-url "http://127.0.0.1:$port/bvfiles/bvstartup/" \
  --standin "$STANDIN" --zip-tool "$WORK/zip.sh" "$WORK/site" >/dev/null
files=$WORK/site/bvfiles/bvstartup
head -c $((MB * 1048576)) /dev/urandom >> "$files/zoded.___"
(cd "$files" && rm -f sha256sums sha256sums.sig && sha256sum -- $(ls | grep -v '^sha256sums') > sha256sums &&
 openssl dgst -sha256 -sign "$ROOT/server/demo-key/vendor.pem" -out sha256sums.sig sha256sums)
cleanup() {
  [ -f "$WORK/cut.pid" ] && kill "$(cat "$WORK/cut.pid")" 2>/dev/null || true
  "$ROOT/server/serve" stop "$WORK/run" >/dev/null 2>&1 || true
  wine_stop
}
trap cleanup EXIT
"$ROOT/server/serve" start "$WORK/site" "$port" "$WORK/run" >/dev/null
setsid python3 "$ROOT/tests/cut_proxy.py" "$port" "$WORK/cut.port" "$WORK/cut.ctl" "$WORK/cut.log" \
  >"$WORK/cut.out" 2>&1 </dev/null &
echo $! > "$WORK/cut.pid"
for _ in $(seq 100); do [ -s "$WORK/cut.port" ] && break; sleep 0.1; done
proxy=$(cat "$WORK/cut.port")

now() { date +%s.%N; }
# run LABEL CONTROL: one unattended installation into a fresh folder.
run() {
  local label=$1 control=$2 folder t0 t1 status
  printf '%s' "$control" > "$WORK/cut.ctl"
  : > "$WORK/cut.log"
  folder=$WORK/install-$label
  rm -rf "$folder"
  log "$label"
  t0=$(now)
  status=0
  xvfb-run -a -s "-screen 0 1024x768x24" wine "$EXE" --auto --folder="Z:$(printf '%s' "$folder" | tr / '\\')" --vendor-host=127.0.0.1:"$proxy" \
    --retries=50 >"$WORK/out-$label.txt" 2>&1 || status=$?
  t1=$(now)
  cmp -s "$files/zoded.___" "$folder/ZODed.exe" || { echo "$label: the program file differs (status $status)"; exit 1; }
  python3 - "$label" "$status" "$t0" "$t1" "$WORK/cut.log" "$WORK/site" "$WORK/out-$label.txt" <<'PY'
import os, re, sys
label, status, t0, t1, log, site = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4]), sys.argv[5], sys.argv[6]
waited = sum(int(m) for m in re.findall(r"^retry \d+ of \d+ in (\d+) s", open(sys.argv[7]).read(), re.M))
sent, requests, paths = 0, 0, set()
for line in open(log):
    m = re.match(r"GET (\S+) range=(\S+) status=(\d+) sent=(\d+)", line)
    if not m or m.group(3) not in ("200", "206"):
        continue
    requests += 1
    sent += int(m.group(4))
    paths.add(m.group(1))
installed = sum(os.path.getsize(site + p) for p in paths)
print(f"{label}: status {status}, {requests} requests, {sent} bytes sent for {installed} installed:"
      f" ratio {sent / installed:.3f}; {t1 - t0:.1f} s, of which {waited} s waiting between retries")
PY
}
# The first run also pays for starting Wine and the display: not compared.
run warm-up '{}'
run nocuts '{}'
run cuts '{"cut": 1048576, "range": true}'
grep -E "^retry " "$WORK/out-cuts.txt" || true
