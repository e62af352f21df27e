#!/usr/bin/env bash
# Sets up (start) or takes down (stop) the vendor servers of the end-to-end
# tests: two nginx instances on free loopback ports, one with the whole demo
# site but the Spanish start-up archive (so the fallback runs), one without
# the USA sire file (so an English/USA batch stalls on its second file); and
# copies of the first whose value file holds no address (empty, an HTML page,
# an "ftp://" address) or whose generic start-up archive has a damaged
# worklist.lst (signed as published). Copies that break the vendor's signed
# list: one file left out of it (unlisted), signed by another key
# (otherkey), no list (nolist), a list without signature (unsigned), a
# value file that sends the wizard to another server with its own unsigned
# files (redirect -> evil); and a tampering server of our own in front of
# the main site that flips a byte of a program file on the way (flip).
# Beside them, the reference sync server on a free port, its files under
# DIR/sync-root (its port in DIR/sync.port), the same behind nginx
# (server/sync-serve; its port in DIR/sync-proxy.port), and DIR/locked: an
# existing folder that refuses new files. Root ignores write permissions, so
# for root it carries the immutable attribute (chattr +i), which binds root
# too; DIR/locked.how says which held ("immutable", "permissions" or
# "none"). Stop takes the attribute off again, so the build tree can be
# removed.
#   e2e_site.sh start DIR BVZIP_EXE STANDIN_EXE
#   e2e_site.sh stop DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmd=$1 dir=$2

# sign FOLDER KEY: the vendor's recipe (server/README.md) over FOLDER.
sign() {
  (cd "$1" && rm -f sha256sums sha256sums.sig &&
   sha256sum -- $(ls | grep -v '^sha256sums') > sha256sums &&
   openssl dgst -sha256 -sign "$2" -out sha256sums.sig sha256sums)
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

case "$cmd" in
  start)
    bvzip=$3 standin=$4
    mkdir -p "$dir"
    # Our own zip writer builds the archives; it is a Windows program here.
    printf '#!/bin/sh\nexec wine "%s" "$@"\n' "$bvzip" > "$dir/zip.sh"
    chmod +x "$dir/zip.sh"
    for site in main stall; do
      port=$(free_port)
      omit=(--omit basefiles_spa.zip)
      [ "$site" = stall ] && omit=(--omit bvsires.usa)
      python3 "$root/server/make_site.py" --base-url "http://127.0.0.1:$port/bvfiles/bvstartup/" \
        --standin "$standin" --zip-tool "$dir/zip.sh" "${omit[@]}" "$dir/$site-site" >/dev/null
      "$root/server/serve" stop "$dir/$site-run" >/dev/null 2>&1 || true
      rm -rf "$dir/$site-run"
      "$root/server/serve" start "$dir/$site-site" "$port" "$dir/$site-run"
      echo "$port" > "$dir/$site.port"
    done
    demo_key=$root/server/demo-key/vendor.pem
    [ -f "$dir/other.pem" ] || openssl ecparam -name prime256v1 -genkey -noout -out "$dir/other.pem" 2>/dev/null
    for site in empty html ftp badzip unlisted otherkey nolist unsigned evil redirect; do
      port=$(free_port)
      rm -rf "$dir/$site-site"
      cp -r "$dir/main-site" "$dir/$site-site"
      value="$dir/$site-site/values/bvstartup.url"
      files="$dir/$site-site/bvfiles/bvstartup"
      case "$site" in
        unlisted|otherkey|nolist|unsigned|evil)
          printf 'http://127.0.0.1:%s/bvfiles/bvstartup/' "$port" > "$value" ;;
      esac
      case "$site" in
        unlisted)
          sign "$files" "$demo_key"
          grep -v '  zoded\.___$' "$files/sha256sums" > "$files/list" && mv "$files/list" "$files/sha256sums"
          openssl dgst -sha256 -sign "$demo_key" -out "$files/sha256sums.sig" "$files/sha256sums" ;;
        otherkey) sign "$files" "$dir/other.pem" ;;
        nolist) rm -f "$files/sha256sums" "$files/sha256sums.sig" ;;
        unsigned) rm -f "$files/sha256sums.sig" ;;
        evil)
          # Programs of its own, and a list of them that nobody could sign.
          for f in "$files"/*.___; do printf 'not the vendor' >> "$f"; done
          (cd "$files" && rm -f sha256sums.sig && sha256sum -- $(ls | grep -v '^sha256sums') > sha256sums) ;;
        redirect) printf 'http://127.0.0.1:%s/bvfiles/bvstartup/' "$(cat "$dir/evil.port")" > "$value" ;;
      esac
      case "$site" in
        empty) : > "$value" ;;
        html) printf '<!DOCTYPE html>\n<html><head><title>Sign in</title></head></html>\n' > "$value" ;;
        ftp) printf 'ftp://127.0.0.1/bvfiles/bvstartup/\n' > "$value" ;;
        badzip)
          printf 'http://127.0.0.1:%s/bvfiles/bvstartup/' "$port" > "$value"
          python3 - "$dir/$site-site/bvfiles/bvstartup/basefiles.zip" <<'PY'
import struct, sys, zipfile
path = sys.argv[1]
with zipfile.ZipFile(path) as z:
    offset = z.getinfo("worklist.lst").header_offset
data = bytearray(open(path, "rb").read())
name, extra = struct.unpack("<HH", data[offset + 26:offset + 30])
data[offset + 30 + name + extra] ^= 0xFF  # the member's first data byte
open(path, "wb").write(data)
PY
          # The vendor published the damaged archive: it is in the signed list.
          sign "$dir/$site-site/bvfiles/bvstartup" "$demo_key"
          ;;
      esac
      "$root/server/serve" stop "$dir/$site-run" >/dev/null 2>&1 || true
      rm -rf "$dir/$site-run"
      "$root/server/serve" start "$dir/$site-site" "$port" "$dir/$site-run"
      echo "$port" > "$dir/$site.port"
    done
    # A program file of several MiB (the stand-in with 6 MiB appended), in
    # the signed list, behind a line that can cut (tests/cut_proxy.py; its
    # port in DIR/cut.port, its control in DIR/cut.ctl, its log DIR/cut.log).
    port=$(free_port)
    rm -rf "$dir/big-site"
    cp -r "$dir/main-site" "$dir/big-site"
    head -c 6291456 /dev/urandom >> "$dir/big-site/bvfiles/bvstartup/zoded.___"
    sign "$dir/big-site/bvfiles/bvstartup" "$demo_key"
    "$root/server/serve" stop "$dir/big-run" >/dev/null 2>&1 || true
    rm -rf "$dir/big-run"
    "$root/server/serve" start "$dir/big-site" "$port" "$dir/big-run"
    echo "$port" > "$dir/big.port"
    [ -f "$dir/cut.pid" ] && kill "$(cat "$dir/cut.pid")" 2>/dev/null || true
    rm -f "$dir/cut.port" "$dir/cut.ctl" "$dir/cut.log"
    setsid python3 "$root/tests/cut_proxy.py" "$port" "$dir/cut.port" "$dir/cut.ctl" "$dir/cut.log" \
      >"$dir/cut.out" 2>&1 </dev/null &
    echo $! > "$dir/cut.pid"
    for _ in $(seq 100); do
      [ -s "$dir/cut.port" ] && break
      sleep 0.1
    done
    [ -s "$dir/cut.port" ]
    locked="$dir/locked"
    if [ -d "$locked" ]; then chattr -i "$locked" 2>/dev/null || true; chmod 755 "$locked"; fi
    rm -rf "$locked" && mkdir -p "$locked"
    how=none
    if chattr +i "$locked" 2>/dev/null && ! touch "$locked/check" 2>/dev/null; then
      how=immutable
    else
      chattr -i "$locked" 2>/dev/null || true
      chmod 555 "$locked"
      if touch "$locked/check" 2>/dev/null; then rm -f "$locked/check"; else how=permissions; fi
    fi
    echo "$how" > "$dir/locked.how"
    [ -f "$dir/tamper.pid" ] && kill "$(cat "$dir/tamper.pid")" 2>/dev/null || true
    rm -f "$dir/flip.port"
    setsid python3 "$root/tests/tamper_server.py" "$(cat "$dir/main.port")" "$dir/flip.port" \
      >"$dir/tamper.out" 2>&1 </dev/null &
    echo $! > "$dir/tamper.pid"
    for _ in $(seq 100); do
      [ -s "$dir/flip.port" ] && break
      sleep 0.1
    done
    [ -s "$dir/flip.port" ]
    [ -f "$dir/sync.pid" ] && kill "$(cat "$dir/sync.pid")" 2>/dev/null || true
    rm -rf "$dir/sync-root" && mkdir -p "$dir/sync-root"
    port=$(free_port)
    setsid python3 "$root/server/sync_server.py" "$dir/sync-root" --port "$port" >"$dir/sync.out" 2>&1 </dev/null &
    echo $! > "$dir/sync.pid"
    echo "$port" > "$dir/sync.port"
    for _ in $(seq 100); do
      grep -q "sync server on" "$dir/sync.out" 2>/dev/null && break
      sleep 0.1
    done
    grep -q "sync server on" "$dir/sync.out"
    # The same behind nginx: two sync-server processes sharing a store.
    python3 "$root/server/sync-serve" stop "$dir/sync-proxy-run" >/dev/null 2>&1 || true
    rm -rf "$dir/sync-proxy-run" "$dir/sync-proxy-store"
    port=$(free_port)
    python3 "$root/server/sync-serve" start "$dir/sync-proxy-store" "$port" "$dir/sync-proxy-run" --backends 2
    echo "$port" > "$dir/sync-proxy.port"
    ;;
  stop)
    if [ -d "$dir/locked" ]; then chattr -i "$dir/locked" 2>/dev/null || true; chmod 755 "$dir/locked"; fi
    [ -f "$dir/sync.pid" ] && kill "$(cat "$dir/sync.pid")" 2>/dev/null || true
    rm -f "$dir/sync.pid"
    python3 "$root/server/sync-serve" stop "$dir/sync-proxy-run" || true
    [ -f "$dir/tamper.pid" ] && kill "$(cat "$dir/tamper.pid")" 2>/dev/null || true
    rm -f "$dir/tamper.pid"
    [ -f "$dir/cut.pid" ] && kill "$(cat "$dir/cut.pid")" 2>/dev/null || true
    rm -f "$dir/cut.pid"
    for site in main stall big empty html ftp badzip unlisted otherkey nolist unsigned evil redirect; do
      "$root/server/serve" stop "$dir/$site-run" || true
    done
    ;;
  *)
    echo "usage: $0 start DIR BVZIP STANDIN | stop DIR" >&2
    exit 2
    ;;
esac
