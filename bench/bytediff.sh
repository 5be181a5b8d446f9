#!/usr/bin/env bash
# Byte diff beside the usual delta tools: `vtpatch diff`/`patch` against bsdiff/bspatch,
# xdelta3 -9 and zstd --patch-from --ultra -22, on pairs of real files. One run each; prints
# patch size, apply time and apply peak memory (/usr/bin/time -v), and each as a ratio to
# vtpatch (a ratio above 1 means vtpatch is smaller / faster / leaner), and vtpatch's apply
# peak beside old + new + patch.
#
#   bench/bytediff.sh [BUILD_DIR]            built vtpatch from BUILD_DIR (default build/)
#   bench/bytediff.sh BUILD_DIR OLD NEW ...  also any pairs of your own
#
# The built-in pairs:
#   vtpatch-builds  two builds of this project's vtpatch tool whose sources differ by one small
#                   change (a new function and a changed message), as consecutive releases do
#   data-scattered  32 MB of structured text with 2000 scattered byte edits, 40 inserted and
#                   40 deleted runs
#   mostly-zeros    2 MiB of zeros with 300 random bytes, and 300 more bytes changed
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
shift || true
vtpatch=$build/bin/vtpatch
[[ -x $vtpatch ]] || { echo "no $vtpatch; build the vtpatch_tool target first" >&2; exit 1; }
for tool in bsdiff bspatch xdelta3 zstd /usr/bin/time python3 g++; do
    command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

# BENCH_WORK=DIR keeps the pairs and patches there for a closer look.
if [[ -n ${BENCH_WORK:-} ]]; then
    work=$BENCH_WORK; mkdir -p "$work"
else
    work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
fi

# --- pair 1: two builds of the vtpatch tool -------------------------------------------------
build_tool() { # SRC_DIR OUT
    local src=$1 out=$2 objects=()
    mkdir -p "$out.o"
    for f in "$src"/deps/vtpatch/src/lib/*.cc "$src"/deps/vtpatch/src/create/*.cc "$src"/tools/vtpatch/*.cc; do
        local o=$out.o/$(basename "$(dirname "$f")")_$(basename "$f" .cc).o
        g++ -std=c++17 -O2 -g0 -I"$src/deps/vtpatch/src" -I/usr/include/x86_64-linux-gnu -c "$f" -o "$o" &
        objects+=("$o")
        (( $(jobs -rp | wc -l) >= 2 )) && wait -n
    done
    wait
    g++ -o "$out" "${objects[@]}" -llzma -ldivsufsort
}
echo "building two variants of the vtpatch tool..." >&2
for variant in a b; do
    mkdir -p "$work/src-$variant"
    (cd "$here" && cp -r --parents deps/vtpatch/src tools/vtpatch "$work/src-$variant/")
done
# The second release: one new helper function and a reworded message.
cat >>"$work/src-b/deps/vtpatch/src/lib/streams.cc" <<'EOF'
namespace vtpatch {
size_t CountNonZeroForBench(const uint8_t *data, size_t length)
{
    size_t count = 0;
    for (size_t i = 0; i < length; ++i)
        count += data[i] != 0;
    return count;
}
} // namespace vtpatch
EOF
sed -i 's/it is a directory/this is a directory, not a file/' "$work/src-b/tools/vtpatch/cmd_diff.cc"
build_tool "$work/src-a" "$work/vtpatch-builds.old"
build_tool "$work/src-b" "$work/vtpatch-builds.new"
strip -o "$work/vtpatch-stripped.old" "$work/vtpatch-builds.old"
strip -o "$work/vtpatch-stripped.new" "$work/vtpatch-builds.new"

# --- pair 2: a large data file with scattered edits -----------------------------------------
python3 - "$work/data-scattered.old" "$work/data-scattered.new" <<'EOF'
import random, sys
rng = random.Random(20261211)
words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(3, 10))) for _ in range(5000)]
lines = []
size = 0
while size < 32 << 20:
    line = '%08d;%s;%d;%s\n' % (len(lines), ' '.join(rng.choice(words) for _ in range(8)), rng.randint(0, 10**6),
                                rng.choice(words))
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
EOF

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
while (( $# >= 2 )); do
    name=$work/user$(( ${#pairs[@]} ))
    cp "$1" "$name.old"; cp "$2" "$name.new"; pairs+=("$name"); shift 2
done

# measure LABEL OUTFILE COMMAND...: runs once, prints "seconds peak_kib"
measure() {
    local log=$work/time.log
    /usr/bin/time -v -o "$log" "$@" >/dev/null 2>&1 || { echo "FAILED: $*" >&2; return 1; }
    local wall kib
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$log")
    kib=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
    python3 -c "
import sys
parts = [float(p) for p in sys.argv[1].split(':')]
secs = parts[-1] + (parts[-2] * 60 if len(parts) > 1 else 0) + (parts[-3] * 3600 if len(parts) > 2 else 0)
print('%.3f %s' % (secs, sys.argv[2]))" "$wall" "$kib"
}

printf '%-18s %-8s %12s %9s %10s %9s %10s %9s %8s\n' pair tool patch_bytes size_x apply_s time_x peak_MiB mem_x make_s
for pair in "${pairs[@]}"; do
    old=$pair.old new=$pair.new label=$(basename "$pair")
    declare -A size=() secs=() mem=() make=()
    for tool in vtpatch bsdiff xdelta3 zstd; do
        patch=$work/$label.$tool.patch out=$work/$label.$tool.out
        case $tool in
        vtpatch) mk=("$vtpatch" diff "$old" "$new" "$patch"); ap=("$vtpatch" patch "$old" "$patch" "$out") ;;
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
print('%-18s %-8s %12d %9.2f %10.3f %9.2f %10.1f %9.2f %8s' % (l, t, s, s / vs, a, a / max(va, 1e-3), m / 1024, m / vm, mk))
" "$label" "$tool" "${size[$tool]}" "${size[vtpatch]}" "${secs[$tool]}" "${secs[vtpatch]}" "${mem[$tool]}" "${mem[vtpatch]}" "${make[$tool]}"
    done
    # The memory goal: old + new + patch + a small constant (the process itself, the LZMA2
    # dictionary, the control block).
    python3 -c "
import sys
o, n, p, m = (int(x) for x in sys.argv[2:])
print('%-18s vtpatch apply peak %.1f MiB = old+new+patch (%.1f MiB) + %.1f MiB' % (sys.argv[1], m / 1024, (o + n + p) / 2**20, m / 1024 - (o + n + p) / 2**20))
" "$label" "$(stat -c %s "$old")" "$(stat -c %s "$new")" "${size[vtpatch]}" "${mem[vtpatch]}"
    unset size secs mem make
done
echo "sizes: $(for p in "${pairs[@]}"; do printf '%s %s->%s bytes; ' "$(basename "$p")" "$(stat -c %s "$p.old")" "$(stat -c %s "$p.new")"; done)"
