# Helpers shared by the bench/*.sh scripts; sourced, not run:
#   . "$here/bench/lib.sh"
# with $here set to the source tree; the helpers that write files use the script's $work.

# bench_require_built PATH TARGET: stops unless the build made PATH.
bench_require_built() {
    [[ -x $1 ]] || { echo "no $1; build the $2 target first" >&2; exit 1; }
}

# bench_require_tools TOOL...: stops at the first tool that is not installed.
bench_require_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh installs it)" >&2; exit 1; }
    done
}

# bench_work_dir: sets $work to $BENCH_WORK when it is set (the pairs and patches stay there for
# a closer look), otherwise to a fresh directory that is removed when the script exits.
bench_work_dir() {
    if [[ -n ${BENCH_WORK:-} ]]; then
        work=$BENCH_WORK
        mkdir -p "$work"
    else
        work=$(mktemp -d)
        trap 'rm -rf "$work"' EXIT
    fi
}

# bench_copy_tool_sources DIR...: a copy of the vtpatch tool's sources in each DIR, to change
# and build with bench_build_tool.
bench_copy_tool_sources() {
    local dir
    for dir in "$@"; do
        mkdir -p "$dir"
        (cd "$here" && cp -r --parents deps/vtpatch/src tools/vtpatch "$dir/")
    done
}

# bench_build_tool SRC_DIR OUT [G++ FLAGS...]: builds the vtpatch tool from a copy of the
# sources, two compilers at a time.
bench_build_tool() {
    local src=$1 out=$2 objects=()
    shift 2
    mkdir -p "$out.o"
    for f in "$src"/deps/vtpatch/src/lib/*.cc "$src"/deps/vtpatch/src/create/*.cc "$src"/tools/vtpatch/*.cc; do
        local o=$out.o/$(basename "$(dirname "$f")")_$(basename "$f" .cc).o
        g++ -std=c++17 -O2 -g0 -I"$src/deps/vtpatch/src" "$@" -c "$f" -o "$o" &
        objects+=("$o")
        (( $(jobs -rp | wc -l) >= 2 )) && wait -n
    done
    wait
    g++ -o "$out" "${objects[@]}" -llzma -lz -ldivsufsort
}

# bench_make_tool_pair PREFIX: two releases of the vtpatch tool whose sources differ as consecutive
# releases do (one new function, one reworded message): PREFIX-builds.old/.new as built
# (unstripped ELF x86-64 PIE) and PREFIX-stripped.old/.new stripped.
bench_make_tool_pair() {
    local prefix=$1 message=$work/src-b/tools/vtpatch/cmd_ensemble.cc
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
    grep -q 'unknown status' "$message" || { echo "the reworded message is gone from $message" >&2; exit 1; }
    sed -i 's/unknown status/status not known to this tool/' "$message"
    bench_build_tool "$work/src-a" "$prefix-builds.old"
    bench_build_tool "$work/src-b" "$prefix-builds.new"
    strip -o "$prefix-stripped.old" "$prefix-builds.old"
    strip -o "$prefix-stripped.new" "$prefix-builds.new"
}

# bench_add_user_pairs OLD NEW ...: copies each pair given on the command line into $work and
# appends it to the pairs array.
bench_add_user_pairs() {
    while (( $# >= 2 )); do
        local name=$work/user$(( ${#pairs[@]} ))
        cp "$1" "$name.old"; cp "$2" "$name.new"; pairs+=("$name"); shift 2
    done
}

# bench_measure RUNS COMMAND...: runs it RUNS times, prints "seconds peak_kib" of the fastest run.
# Several runs because a single one on a shared machine can be off by half (page cache, other
# processes); the fastest is the one least disturbed.
bench_measure() {
    local runs=$1 log=$work/time.log best="" line
    shift
    for (( ; runs > 0; runs-- )); do
        /usr/bin/time -f '%e %M' -o "$log" "$@" >/dev/null 2>&1 || { echo "FAILED: $*" >&2; return 1; }
        line=$(tail -n 1 "$log")
        if [[ -z $best ]] || awk -v a="${line%% *}" -v b="${best%% *}" 'BEGIN { exit !(a < b) }'; then
            best=$line
        fi
    done
    echo "$best"
}

# bench_run_tools LABEL OLD NEW MAKE_SUBCOMMAND APPLY_SUBCOMMAND: makes (once) and applies (best
# of three) a patch from OLD to NEW with vtpatch ($vtpatch with the two subcommands), bsdiff,
# xdelta3 and zstd, checks each result, and fills the caller's size, secs, mem and make arrays by
# tool name.
bench_run_tools() {
    local label=$1 old=$2 new=$3 make_cmd=$4 apply_cmd=$5 tool patch out mk ap make_s apply_s peak
    for tool in vtpatch bsdiff xdelta3 zstd; do
        patch=$work/$label.$tool.patch out=$work/$label.$tool.out
        case $tool in
        vtpatch) mk=("$vtpatch" "$make_cmd" "$old" "$new" "$patch"); ap=("$vtpatch" "$apply_cmd" "$old" "$patch" "$out") ;;
        bsdiff) mk=(bsdiff "$old" "$new" "$patch"); ap=(bspatch "$old" "$out" "$patch") ;;
        xdelta3) mk=(xdelta3 -9 -f -e -s "$old" "$new" "$patch"); ap=(xdelta3 -f -d -s "$old" "$patch" "$out") ;;
        zstd) mk=(zstd -q -f --ultra -22 --long=31 --patch-from="$old" "$new" -o "$patch")
              ap=(zstd -q -f -d --long=31 --patch-from="$old" "$patch" -o "$out") ;;
        esac
        read -r make_s _ < <(bench_measure 1 "${mk[@]}")
        read -r apply_s peak < <(bench_measure 3 "${ap[@]}")
        cmp -s "$out" "$new" || { echo "$tool did not reproduce $label" >&2; exit 1; }
        size[$tool]=$(stat -c %s "$patch"); secs[$tool]=$apply_s; mem[$tool]=$peak; make[$tool]=$make_s
    done
}

# bench_print_peak WIDTH LABEL OLD NEW: vtpatch's apply peak beside old + new + patch. The memory
# goal is that sum plus a small constant (the process itself, the LZMA2 dictionary, the control
# block).
bench_print_peak() {
    python3 -c "
import sys
w, l = int(sys.argv[1]), sys.argv[2]
o, n, p, m = (int(x) for x in sys.argv[3:])
print('%-*s vtpatch apply peak %.1f MiB = old+new+patch (%.1f MiB) + %.1f MiB' % (w, l, m / 1024, (o + n + p) / 2**20, m / 1024 - (o + n + p) / 2**20))
" "$1" "$2" "$(stat -c %s "$3")" "$(stat -c %s "$4")" "${size[vtpatch]}" "${mem[vtpatch]}"
}

# bench_format_floor FILE: the fewest patch bytes the engine's formats need to produce a new file
# of FILE's size, however little changed. Every new byte comes out of an LZMA2-coded diff or
# extra block, and LZMA codes at most 273 bytes per match with 14 binary decisions, each costing
# at least log2(2048/2017) bits (11-bit probabilities adapting by 1/32): about 148 bytes per MiB.
# bzip2 (bsdiff) and copy instructions (xdelta3, zstd) have no such per-byte floor, so on large,
# nearly unchanged files they can be smaller than any patch of ours.
bench_format_floor() {
    python3 -c "
import math, sys
print(math.ceil(int(sys.argv[1]) / 273 * 14 * math.log2(2048 / 2017) / 8))" "$(stat -c %s "$1")"
}

# bench_print_floor WIDTH LABEL NEW: the format floor (bench_format_floor) for the pair's new file.
bench_print_floor() {
    printf '%-*s format floor: no patch of ours for these %s new bytes can be under %s bytes\n' "$1" "$2" \
        "$(stat -c %s "$3")" "$(bench_format_floor "$3")"
}

# bench_start_comparison: for the scripts that compare vtpatch with the other delta tools: sets
# $vtpatch from $build, checks that it and the other tools are there, and sets up $work.
bench_start_comparison() {
    vtpatch=$build/bin/vtpatch
    bench_require_built "$vtpatch" vtpatch_tool
    bench_require_tools bsdiff bspatch xdelta3 zstd /usr/bin/time python3 g++ strip
    bench_work_dir
}

# bench_compare_pairs WIDTH MAKE_SUBCOMMAND APPLY_SUBCOMMAND: the comparison table for every pair in
# the caller's pairs array (label column WIDTH wide), with vtpatch making and applying patches
# through the two subcommands; then the pairs' sizes.
bench_compare_pairs() {
    local width=$1 make_cmd=$2 apply_cmd=$3 pair old new label tool
    printf "%-${width}s %-8s %12s %9s %10s %9s %10s %9s %8s\n" pair tool patch_bytes size_x apply_s time_x peak_MiB \
        mem_x make_s
    for pair in "${pairs[@]}"; do
        old=$pair.old new=$pair.new label=$(basename "$pair")
        # Filled by bench_run_tools, read by the printers (they see this function's variables).
        local -A size=() secs=() mem=() make=()
        bench_run_tools "$label" "$old" "$new" "$make_cmd" "$apply_cmd"
        for tool in vtpatch bsdiff xdelta3 zstd; do
            bench_print_row "$width" "$label" "$tool"
        done
        bench_print_peak "$width" "$label" "$old" "$new"
        bench_print_floor "$width" "$label" "$new"
    done
    bench_print_sizes
}

# bench_print_sizes: one line with the sizes of every pair.
bench_print_sizes() {
    echo "sizes: $(for p in "${pairs[@]}"; do printf '%s %s->%s bytes; ' "$(basename "$p")" "$(stat -c %s "$p.old")" "$(stat -c %s "$p.new")"; done)"
}

# bench_make_text_pair OLD NEW SEED: a 32 MB text file (numbered lines of random words) and a copy
# with 2000 scattered byte edits, 40 inserted and 40 deleted blocks, the kind of change a data file
# sees between releases.
bench_make_text_pair() {
    python3 - "$1" "$2" "$3" <<'CODE'
import random, sys
rng = random.Random(int(sys.argv[3]))
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
}

# bench_print_row WIDTH LABEL TOOL: one result row from the caller's size/secs/mem/make arrays,
# each figure beside its ratio to vtpatch's (label column WIDTH wide).
bench_print_row() {
    local width=$1 label=$2 tool=$3
    python3 -c "
import sys
w, l, t, s, vs, a, va, m, vm, mk = sys.argv[1:]
s, vs, a, va, m, vm = int(s), int(vs), float(a), float(va), int(m), int(vm)
print('%-*s %-8s %12d %9.2f %10.3f %9.2f %10.1f %9.2f %8s' % (int(w), l, t, s, s / vs, a, a / max(va, 1e-3), m / 1024, m / vm, mk))
" "$width" "$label" "$tool" "${size[$tool]}" "${size[vtpatch]}" "${secs[$tool]}" "${secs[vtpatch]}" \
        "${mem[$tool]}" "${mem[vtpatch]}" "${make[$tool]}"
}
