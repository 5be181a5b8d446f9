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
vtpatch=$build/bin/vtpatch
[[ -x $vtpatch ]] || { echo "no $vtpatch; build the vtpatch_tool target first" >&2; exit 1; }
for tool in bsdiff bspatch xdelta3 zstd /usr/bin/time python3 g++ strip; do
    command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- two builds of the vtpatch tool -----------------------------------------------------------
build_tool() { # SRC_DIR OUT
    local src=$1 out=$2 objects=()
    mkdir -p "$out.o"
    for f in "$src"/deps/vtpatch/src/lib/*.cc "$src"/deps/vtpatch/src/create/*.cc "$src"/tools/vtpatch/*.cc; do
        local o=$out.o/$(basename "$(dirname "$f")")_$(basename "$f" .cc).o
        g++ -std=c++17 -O2 -g0 -I"$src/deps/vtpatch/src" -c "$f" -o "$o" &
        objects+=("$o")
        (( $(jobs -rp | wc -l) >= 2 )) && wait -n
    done
    wait
    g++ -o "$out" "${objects[@]}" -llzma -ldivsufsort
}
echo "building two releases of the vtpatch tool..." >&2
for release in a b; do
    mkdir -p "$work/src-$release"
    (cd "$here" && cp -r --parents deps/vtpatch/src tools/vtpatch "$work/src-$release/")
done
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
build_tool "$work/src-a" "$work/tool-builds.old"
build_tool "$work/src-b" "$work/tool-builds.new"
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
while (( $# >= 2 )); do
    name=$work/user$(( ${#pairs[@]} ))
    cp "$1" "$name.old"; cp "$2" "$name.new"; pairs+=("$name"); shift 2
done

# measure COMMAND...: runs it once, prints "seconds peak_kib"
measure() {
    local log=$work/time.log
    /usr/bin/time -f '%e %M' -o "$log" "$@" >/dev/null 2>&1 || { echo "FAILED: $*" >&2; return 1; }
    tail -n 1 "$log"
}

printf '%-14s %-8s %11s %7s %8s %7s %9s %6s %7s\n' pair tool patch_bytes size_x apply_s time_x peak_MiB mem_x make_s
for pair in "${pairs[@]}"; do
    old=$pair.old new=$pair.new label=$(basename "$pair")
    declare -A size=() secs=() mem=() make=()
    for tool in vtpatch bsdiff xdelta3 zstd; do
        patch=$work/$label.$tool.patch out=$work/$label.$tool.out
        case $tool in
        vtpatch) mk=("$vtpatch" make-patch "$old" "$new" "$patch"); ap=("$vtpatch" apply "$old" "$patch" "$out") ;;
        bsdiff) mk=(bsdiff "$old" "$new" "$patch"); ap=(bspatch "$old" "$out" "$patch") ;;
        xdelta3) mk=(xdelta3 -9 -f -e -s "$old" "$new" "$patch"); ap=(xdelta3 -f -d -s "$old" "$patch" "$out") ;;
        zstd) mk=(zstd -q -f --ultra -22 --long=31 --patch-from="$old" "$new" -o "$patch")
              ap=(zstd -q -f -d --long=31 --patch-from="$old" "$patch" -o "$out") ;;
        esac
        read -r make_s _ < <(measure "${mk[@]}")
        read -r apply_s peak < <(measure "${ap[@]}")
        cmp -s "$out" "$new" || { echo "$tool did not reproduce $label" >&2; exit 1; }
        size[$tool]=$(stat -c %s "$patch"); secs[$tool]=$apply_s; mem[$tool]=$peak; make[$tool]=$make_s
    done
    for tool in vtpatch bsdiff xdelta3 zstd; do
        python3 -c "
import sys
l, t, s, vs, a, va, m, vm, mk = sys.argv[1:]
s, vs, a, va, m, vm = int(s), int(vs), float(a), float(va), int(m), int(vm)
print('%-14s %-8s %11d %7.2f %8.2f %7.2f %9.1f %6.2f %7s' % (l, t, s, s / vs, a, a / max(va, 0.01), m / 1024, m / vm, mk))
" "$label" "$tool" "${size[$tool]}" "${size[vtpatch]}" "${secs[$tool]}" "${secs[vtpatch]}" "${mem[$tool]}" "${mem[vtpatch]}" "${make[$tool]}"
    done
    python3 -c "
import sys
o, n, p, m = (int(x) for x in sys.argv[2:])
print('%-14s vtpatch apply peak %.1f MiB = old+new+patch (%.1f MiB) + %.1f MiB' % (sys.argv[1], m / 1024, (o + n + p) / 2**20, m / 1024 - (o + n + p) / 2**20))
" "$label" "$(stat -c %s "$old")" "$(stat -c %s "$new")" "${size[vtpatch]}" "${mem[vtpatch]}"
    unset size secs mem make
done
echo "sizes: $(for p in "${pairs[@]}"; do printf '%s %s->%s bytes; ' "$(basename "$p")" "$(stat -c %s "$p.old")" "$(stat -c %s "$p.new")"; done)"
