#!/usr/bin/env bash
# Ensemble patches beside the usual delta tools: `vtpatch make-patch`/`apply` against
# bsdiff/bspatch, xdelta3 -9 and zstd --patch-from --ultra -22, on pairs of real files. One run
# each; prints patch size, apply time and apply peak memory (/usr/bin/time -v), each also as a
# ratio to vtpatch (above 1: vtpatch is smaller / faster / leaner), and vtpatch's apply peak
# beside old + new + patch.
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

bench_temp_work

# --- two builds of the vtpatch tool -----------------------------------------------------------
echo "building two releases of the vtpatch tool..." >&2
bench_copy_tool_sources "$work/src-a" "$work/src-b"
cat >>"$work/src-b/deps/vtpatch/src/lib/ensemble.cc" <<'CODE'
namespace vtpatch {
size_t CountElementsForBench(const uint8_t *data, size_t length)
{
    size_t count = 0;
    for (size_t i = 0; i + 1 < length; ++i)
        count += data[i] == 0x7F && data[i + 1] == 'E';
    return count;
}
} // namespace vtpatch
CODE
sed -i 's/unknown status/status not known to this tool/' "$work/src-b/tools/vtpatch/cmd_ensemble.cc"
bench_build_tool "$work/src-a" "$work/tool-builds.old"
bench_build_tool "$work/src-b" "$work/tool-builds.new"
strip -o "$work/tool-stripped.old" "$work/tool-builds.old"
strip -o "$work/tool-stripped.new" "$work/tool-builds.new"

# --- a large data file with scattered edits ---------------------------------------------------
python3 - "$work/data-edits.old" "$work/data-edits.new" <<'CODE'
import random, sys
rng = random.Random(4)
words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(3, 10))) for _ in range(5000)]
lines, size = [], 0
while size < 32 << 20:
    line = '%08d;%s;%d\n' % (len(lines), ' '.join(rng.choice(words) for _ in range(8)), rng.randint(0, 10**6))
    lines.append(line)
    size += len(line)
old = bytearray(''.join(lines).encode())
new = bytearray(old)
for _ in range(2000):
    new[rng.randrange(len(new))] = rng.randrange(256)
for _ in range(40):
    at = rng.randrange(len(new))
    new[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(10, 2000)))
    at = rng.randrange(len(new) - 3000)
    del new[at:at + rng.randint(10, 2000)]
open(sys.argv[1], 'wb').write(old)
open(sys.argv[2], 'wb').write(new)
CODE

pairs=("$work/tool-builds" "$work/tool-stripped" "$work/data-edits")
bench_add_user_pairs "$@"

printf '%-14s %-8s %11s %7s %8s %7s %9s %6s %7s\n' pair tool patch_bytes size_x apply_s time_x peak_MiB mem_x make_s
for pair in "${pairs[@]}"; do
    old=$pair.old new=$pair.new label=$(basename "$pair")
    declare -A size=() secs=() mem=() make=()
    bench_run_tools "$label" "$old" "$new" make-patch apply
    for tool in vtpatch bsdiff xdelta3 zstd; do
        python3 -c "
import sys
l, t, s, vs, a, va, m, vm, mk = sys.argv[1:]
s, vs, a, va, m, vm = int(s), int(vs), float(a), float(va), int(m), int(vm)
print('%-14s %-8s %11d %7.2f %8.2f %7.2f %9.1f %6.2f %7s' % (l, t, s, s / vs, a, a / max(va, 0.01), m / 1024, m / vm, mk))
" "$label" "$tool" "${size[$tool]}" "${size[vtpatch]}" "${secs[$tool]}" "${secs[vtpatch]}" "${mem[$tool]}" "${mem[vtpatch]}" "${make[$tool]}"
    done
    bench_print_peak 14 "$label" "$old" "$new"
    unset size secs mem make
done
bench_print_sizes
