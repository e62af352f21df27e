#!/usr/bin/env bash
# Scan benchmark (not a test): how long bvzip takes to open a file that has
# no directory and is full of local-header signatures, so every four bytes
# are a candidate for the scan of damaged archives. Prints the size and the
# wall time of `bvzip l`; the cost must grow linearly with the size.
#
#   bench/zip_scan_bench.sh          # 4 MiB flood
#   BV_SCAN_MIB=16 bench/zip_scan_bench.sh
source "$(dirname "$0")/../scripts/common.sh"

BENCH=$BUILD/bench
log "release build of bvzip (no sanitizers) in $BENCH"
configure_tree "$BENCH" -DCMAKE_BUILD_TYPE=Release
ninja -C "$BENCH" -j "$JOBS" bvzip >/dev/null
BVZIP=$BENCH/tools/bvzip

mkdir -p "$BENCH/work"
MIB=${BV_SCAN_MIB:-4}
FLOOD=$BENCH/work/flood-$MIB.zip
python3 -c "import sys; open(sys.argv[1], 'wb').write(b'PK\x03\x04' * (int(sys.argv[2]) << 18))" "$FLOOD" "$MIB"
start=$(date +%s.%N)
"$BVZIP" l "$FLOOD" >/dev/null 2>&1 || true
end=$(date +%s.%N)
printf 'scan of a %s MiB signature flood: %.3f s\n' "$MIB" "$(echo "$end - $start" | bc)"
