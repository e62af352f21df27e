#!/usr/bin/env bash
# ZIP benchmark (not a test): bvzip against Info-ZIP zip/unzip and 7-Zip on a
# generated corpus of about 200 MB (text, binary, already-compressed data, one
# large member, many small ones), measured in one run on this machine.
# Prints wall-time ratios (ours / peer, best of two runs each; at most 1.0
# means we are as fast or faster), the size ratio at level 6, and peak memory;
# bvzip runs on one thread per core (its default) and, for comparison, with -j 1.
#
#   bench/zip_bench.sh            # work files in build/bench/work
#   BV_BENCH_KEEP=1 bench/zip_bench.sh   # keep the corpus for the next run
source "$(dirname "$0")/../scripts/common.sh"

ensure_packages
BENCH=$BUILD/bench
WORK=$BENCH/work
log "release build of bvzip (no sanitizers) in $BENCH"
configure_tree "$BENCH" -DCMAKE_BUILD_TYPE=Release
ninja -C "$BENCH" -j "$JOBS" bvzip >/dev/null
BVZIP=$BENCH/tools/bvzip

mkdir -p "$WORK"
CORPUS=$WORK/corpus
if [ ! -d "$CORPUS" ]; then
  log "generating the corpus"
  python3 - "$CORPUS" <<'PY'
import os, random, sys, zlib
root = sys.argv[1]
rnd = random.Random(20240402)
os.makedirs(root + "/text"); os.makedirs(root + "/bin"); os.makedirs(root + "/packed")
os.makedirs(root + "/small"); os.makedirs(root + "/large")
words = [''.join(rnd.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rnd.randint(2, 10)))
         for _ in range(5000)]
def text(n):
    out, size = [], 0
    while size < n:
        line = ' '.join(rnd.choice(words) for _ in range(rnd.randint(4, 14))) + '\n'
        out.append(line); size += len(line)
    return ''.join(out).encode()[:n]
def binary(n):
    # Structured records with counters, floats and some noise: compresses
    # like program data, not like text.
    out = bytearray()
    i = 0
    while len(out) < n:
        out += i.to_bytes(4, 'little') + rnd.randbytes(4) + (i * 2654435761 % 65536).to_bytes(2, 'little') + bytes(6)
        i += 1
    return bytes(out[:n])
for k in range(6):                      # 60 MB of text
    open(f"{root}/text/t{k}.txt", "wb").write(text(10 << 20))
for k in range(4):                      # 40 MB of binary records
    open(f"{root}/bin/b{k}.dat", "wb").write(binary(10 << 20))
for k in range(4):                      # 40 MB already compressed
    open(f"{root}/packed/p{k}.gz", "wb").write(zlib.compress(rnd.randbytes(10 << 20), 9))
big = bytearray()                       # one 48 MB member, mixed
while len(big) < (48 << 20):
    big += text(1 << 20) + binary(1 << 20) + rnd.randbytes(1 << 20)
open(f"{root}/large/large.bin", "wb").write(bytes(big[:48 << 20]))
for k in range(4000):                   # many small ones, 16 MB
    open(f"{root}/small/s{k:04}.txt", "wb").write(text(rnd.randint(1000, 7000)))
PY
fi
du -sh "$CORPUS"

# Extracted files go to memory (tmpfs) when there is room, so that the
# file system's allocator (which differs from run to run after mass deletes)
# does not decide the result.
OUT=$WORK
if [ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt $((2 << 20)) ]; then
  OUT=$(mktemp -d /dev/shm/bvbench.XXXXXX)
  trap 'rm -rf "$OUT"' EXIT
fi

# measure LABEL COMMAND...: wall seconds and peak resident memory; the best
# of the runs so far is kept (each operation runs twice, peers alternating).
declare -A T M
measure() {
  local label=$1; shift
  sync
  local out
  /usr/bin/time -o "$WORK/time.out" -f '%e %M' "$@" >/dev/null 2>&1 || true
  out=$(tail -1 "$WORK/time.out")
  local t=${out% *} m=${out#* }
  if [ -z "${T[$label]:-}" ] || python3 -c "import sys; sys.exit(0 if $t < ${T[$label]} else 1)"; then
    T[$label]=$t
  fi
  [ -n "${M[$label]:-}" ] && [ "${M[$label]}" -ge "$m" ] || M[$label]=$m
  printf '  %-22s %7.2f s  %8d KiB\n' "$label" "$t" "$m"
}

cd "$WORK"
rm -rf peer6.zip ours6.zip aes.zip
log "creation at level 6"
find "$CORPUS" -type f -exec cat {} + >/dev/null  # same warm page cache for both
for round in 1 2; do
  rm -f peer6.zip ours6.zip
  measure zip-6 sh -c "cd '$CORPUS' && zip -q -r -6 '$WORK/peer6.zip' ."
  measure bvzip-a-6 "$BVZIP" a -6 "$WORK/ours6.zip" "$CORPUS"
  rm -f ours6-j1.zip
  measure bvzip-a-6-j1 "$BVZIP" a -6 -j 1 "$WORK/ours6-j1.zip" "$CORPUS"
done
cmp -s ours6.zip ours6-j1.zip && echo "  -j $(nproc) archive identical to -j 1"

log "creation at level 6, every file named on the command line (as with find)"
(cd "$CORPUS" && find . -type f | sort) > files.txt
for round in 1 2; do
  rm -f peer-list.zip ours-list.zip
  measure zip-6-list sh -c "cd '$CORPUS' && xargs -a '$WORK/files.txt' zip -q -6 '$WORK/peer-list.zip'"
  measure bvzip-a-6-list sh -c "cd '$CORPUS' && xargs -a '$WORK/files.txt' '$BVZIP' a -6 '$WORK/ours-list.zip'"
done

log "extraction (Info-ZIP's level-6 archive)"
for round in 1 2; do
  rm -rf "$OUT"/out-*
  measure unzip sh -c "unzip -q -o '$WORK/peer6.zip' -d '$OUT/out-unzip'"
  measure bvzip-x "$BVZIP" x -d "$OUT/out-bvzip" "$WORK/peer6.zip"
  rm -rf "$OUT"/out-j1
  measure bvzip-x-j1 "$BVZIP" x -j 1 -d "$OUT/out-j1" "$WORK/peer6.zip"
done
diff -r "$OUT/out-unzip" "$OUT/out-bvzip" >/dev/null && echo "  outputs identical"
rm -rf "$OUT"/out-*

log "AES-256 extraction (7-Zip's archive)"
(cd "$CORPUS" && 7z a -y -tzip -mx5 -mem=AES256 -ppw "$WORK/aes.zip" . >/dev/null)
for round in 1 2; do
  rm -rf "$OUT"/out-*
  measure 7z-x-aes 7z x -y -ppw -o"$OUT/out-7z" "$WORK/aes.zip"
  measure bvzip-x-aes "$BVZIP" x -p pw -d "$OUT/out-bvaes" "$WORK/aes.zip"
  rm -rf "$OUT"/out-aes-j1
  measure bvzip-x-aes-j1 "$BVZIP" x -j 1 -p pw -d "$OUT/out-aes-j1" "$WORK/aes.zip"
done
diff -r "$OUT/out-7z" "$OUT/out-bvaes" >/dev/null && echo "  outputs identical"
rm -rf "$OUT"/out-*

log "memory against member size (one stored member of 16 MB and of 256 MB)"
head -c $((16 << 20)) /dev/zero | tr '\0' 'x' > m16 && head -c $((256 << 20)) /dev/urandom > m256
zip -q -0 m16.zip m16 && zip -q -0 m256.zip m256
measure bvzip-x-16MB "$BVZIP" x -d "$OUT/out-m16" m16.zip
measure bvzip-x-256MB "$BVZIP" x -d "$OUT/out-m256" m256.zip
rm -rf "$OUT"/out-*

ratio() { python3 -c "print(f'{$1/$2:.2f}')"; }
echo
echo "| Operation | bvzip | peer | ratio (ours/peer) | peak memory bvzip / peer |"
echo "|---|---|---|---|---|"
echo "| extraction vs unzip | ${T[bvzip-x]} s | ${T[unzip]} s | $(ratio ${T[bvzip-x]} ${T[unzip]}) | ${M[bvzip-x]} / ${M[unzip]} KiB |"
echo "| creation -6 vs zip -6 | ${T[bvzip-a-6]} s | ${T[zip-6]} s | $(ratio ${T[bvzip-a-6]} ${T[zip-6]}) | ${M[bvzip-a-6]} / ${M[zip-6]} KiB |"
s1=$(stat -c %s ours6.zip); s2=$(stat -c %s peer6.zip)
echo "| size -6 vs zip -6 | $s1 B | $s2 B | $(ratio $s1 $s2) | |"
echo "| extraction -j 1 vs unzip | ${T[bvzip-x-j1]} s | ${T[unzip]} s | $(ratio ${T[bvzip-x-j1]} ${T[unzip]}) | ${M[bvzip-x-j1]} / ${M[unzip]} KiB |"
echo "| creation -6 -j 1 vs zip -6 | ${T[bvzip-a-6-j1]} s | ${T[zip-6]} s | $(ratio ${T[bvzip-a-6-j1]} ${T[zip-6]}) | ${M[bvzip-a-6-j1]} / ${M[zip-6]} KiB |"
echo "| creation -6, files named vs zip -6 | ${T[bvzip-a-6-list]} s | ${T[zip-6-list]} s | $(ratio ${T[bvzip-a-6-list]} ${T[zip-6-list]}) | ${M[bvzip-a-6-list]} / ${M[zip-6-list]} KiB |"
echo "| AES-256 extraction vs 7z | ${T[bvzip-x-aes]} s | ${T[7z-x-aes]} s | $(ratio ${T[bvzip-x-aes]} ${T[7z-x-aes]}) | ${M[bvzip-x-aes]} / ${M[7z-x-aes]} KiB |"
echo "| AES-256 extraction -j 1 vs 7z | ${T[bvzip-x-aes-j1]} s | ${T[7z-x-aes]} s | $(ratio ${T[bvzip-x-aes-j1]} ${T[7z-x-aes]}) | ${M[bvzip-x-aes-j1]} / ${M[7z-x-aes]} KiB |"
echo "| peak memory, 16 MB vs 256 MB member | ${M[bvzip-x-16MB]} KiB | ${M[bvzip-x-256MB]} KiB | | |"
[ -n "${BV_BENCH_KEEP:-}" ] || rm -rf "$WORK"/*.zip m16 m256 files.txt
