#!/usr/bin/env bash
# Ensemble patches beside the usual delta tools: `vtpatch make-patch`/`apply` against
# bsdiff/bspatch, xdelta3 -9 and zstd --patch-from --ultra -22, on pairs of real files. Each
# patch is made once and applied three times (the fastest run counts); prints patch size, apply
# time and apply peak memory (/usr/bin/time), each also as a ratio to vtpatch (above 1: vtpatch
# is smaller / faster / leaner), and vtpatch's apply peak beside old + new + patch.
#
#   bench/patch_bench.sh [BUILD_DIR]            vtpatch from BUILD_DIR (default build/)
#   bench/patch_bench.sh BUILD_DIR OLD NEW ...  also any pairs of your own
#
# Built-in pairs:
#   tool-builds    two builds of this project's vtpatch tool (unstripped ELF x86-64 PIE) whose
#                  sources differ by one new function and a reworded message; make-patch
#                  disassembles them into an element
#   tool-stripped  the same, stripped
#   data-edits     32 MB of structured text with 2000 scattered byte edits, 40 inserted and
#                  40 deleted runs
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
shift || true
. "$here/bench/lib.sh"
vtpatch=$build/bin/vtpatch
bench_require_built "$vtpatch" vtpatch_tool
bench_require_tools bsdiff bspatch xdelta3 zstd /usr/bin/time python3 g++ strip

bench_work_dir

# --- two builds of the vtpatch tool -----------------------------------------------------------
bench_make_tool_pair "$work/tool"

# --- a large data file with scattered edits ---------------------------------------------------
bench_make_text_pair "$work/data-edits.old" "$work/data-edits.new" 4

pairs=("$work/tool-builds" "$work/tool-stripped" "$work/data-edits")
bench_add_user_pairs "$@"

printf '%-14s %-8s %12s %9s %10s %9s %10s %9s %8s\n' pair tool patch_bytes size_x apply_s time_x peak_MiB mem_x make_s
for pair in "${pairs[@]}"; do
    old=$pair.old new=$pair.new label=$(basename "$pair")
    declare -A size=() secs=() mem=() make=()
    bench_run_tools "$label" "$old" "$new" make-patch apply
    for tool in vtpatch bsdiff xdelta3 zstd; do
        bench_print_row 14 "$label" "$tool"
    done
    bench_print_peak 14 "$label" "$old" "$new"
    bench_print_floor 14 "$label" "$new"
    unset size secs mem make
done
bench_print_sizes
