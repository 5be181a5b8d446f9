#!/usr/bin/env bash
# SHA-512 of a file with the updater's digest check (bench_sha512: QCryptographicHash, streamed in
# 1 MiB blocks) beside sha512sum, both from the page cache. Best of three runs each, by wall time and
# by CPU time (the steadier figure on a shared machine); prints the ratios (goal: the updater reaches
# at least 0.9 of sha512sum's throughput).
#
#   bench/sha512_bench.sh [BUILD_DIR] [SIZE_MB]     defaults: build/ and 1024
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
size_mb=${2:-1024}
. "$here/bench/lib.sh"
driver=$build/bin/bench_sha512
bench_require_built "$driver" bench_sha512
command -v sha512sum >/dev/null || { echo "missing sha512sum" >&2; exit 1; }

bench_work_dir
echo "making a ${size_mb} MB file of random bytes..."
head -c "$((size_mb * 1024 * 1024))" /dev/urandom > "$work/file.bin"
cat "$work/file.bin" > /dev/null

min() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }
ref_wall="" ref_cpu="" our_wall="" our_cpu=""
TIMEFORMAT='%R %U %S'
for run in 1 2 3; do
    read -r w u s < <({ time sha512sum "$work/file.bin" > /dev/null; } 2>&1)
    ref_wall=$(min "$w" "$ref_wall")
    ref_cpu=$(min "$(awk -v u="$u" -v s="$s" 'BEGIN { print u + s }')" "$ref_cpu")
    read -r w c < <("$driver" "$work/file.bin" 2>/dev/null)
    our_wall=$(min "$w" "$our_wall")
    our_cpu=$(min "$c" "$our_cpu")
    echo "run $run done"
done
awk -v b="$((size_mb * 1024 * 1024))" -v rw="$ref_wall" -v rc="$ref_cpu" -v ow="$our_wall" -v oc="$our_cpu" 'BEGIN {
    printf "sha512sum: %7.1f MB/s wall (%.3f s), %7.1f MB/s CPU (%.3f s)\n", b / rw / 1e6, rw, b / rc / 1e6, rc
    printf "updater:   %7.1f MB/s wall (%.3f s), %7.1f MB/s CPU (%.3f s)\n", b / ow / 1e6, ow, b / oc / 1e6, oc
    printf "ratio updater/sha512sum: %.2f wall, %.2f CPU (goal >= 0.9)\n", rw / ow, rc / oc
}'
