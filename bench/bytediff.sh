#!/usr/bin/env bash
# Byte diff beside the usual delta tools: `vtpatch diff`/`patch` against bsdiff/bspatch,
# xdelta3 -9 and zstd --patch-from --ultra -22, on pairs of real files. Each patch is made once
# and applied three times (the fastest run counts); prints patch size, apply time and apply peak
# memory (/usr/bin/time), and each as a ratio to vtpatch (a ratio above 1 means vtpatch is
# smaller / faster / leaner), and vtpatch's apply peak beside old + new + patch.
#
#   bench/bytediff.sh [BUILD_DIR]            built vtpatch from BUILD_DIR (default build/)
#   bench/bytediff.sh BUILD_DIR OLD NEW ...  also any pairs of your own
#
# The built-in pairs:
#   vtpatch-builds    two builds of this project's vtpatch tool whose sources differ by one small
#                     change (a new function and a changed message), as consecutive releases do
#   vtpatch-stripped  the same, stripped
#   data-scattered    32 MB of structured text with 2000 scattered byte edits, 40 inserted and
#                     40 deleted runs
#   mostly-zeros      2 MiB of zeros with 300 random bytes, and 300 more bytes changed
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
shift || true
. "$here/bench/lib.sh"
bench_start_comparison

# --- pair 1: two builds of the vtpatch tool -------------------------------------------------
bench_make_tool_pair "$work/vtpatch"

# --- pair 2: a large data file with scattered edits -----------------------------------------
bench_make_text_pair "$work/data-scattered.old" "$work/data-scattered.new" 20261211

# --- pair 3: mostly zeros (sparse images, preallocated files), where matching used to crawl --
python3 - "$work/mostly-zeros.old" "$work/mostly-zeros.new" <<'EOF'
import random, sys
rng = random.Random(5)
old = bytearray(2 << 20)
for _ in range(300):
    old[rng.randrange(len(old))] = rng.randrange(256)
new = bytearray(old)
for _ in range(300):
    new[rng.randrange(len(new))] = rng.randrange(256)
open(sys.argv[1], 'wb').write(old)
open(sys.argv[2], 'wb').write(new)
EOF

pairs=("$work/vtpatch-builds" "$work/vtpatch-stripped" "$work/data-scattered" "$work/mostly-zeros")
bench_add_user_pairs "$@"

bench_compare_pairs 18 diff patch
