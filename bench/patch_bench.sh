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
bench_start_comparison

# --- two builds of the vtpatch tool -----------------------------------------------------------
bench_make_tool_pair "$work/tool"

# --- a large data file with scattered edits ---------------------------------------------------
bench_make_text_pair "$work/data-edits.old" "$work/data-edits.new" 4

pairs=("$work/tool-builds" "$work/tool-stripped" "$work/data-edits")
bench_add_user_pairs "$@"

bench_compare_pairs 14 make-patch apply
