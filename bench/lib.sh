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

# bench_temp_work: a fresh directory in $work, removed when the script exits.
bench_temp_work() {
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
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
    g++ -o "$out" "${objects[@]}" -llzma -ldivsufsort
}

# bench_add_user_pairs OLD NEW ...: copies each pair given on the command line into $work and
# appends it to the pairs array.
bench_add_user_pairs() {
    while (( $# >= 2 )); do
        local name=$work/user$(( ${#pairs[@]} ))
        cp "$1" "$name.old"; cp "$2" "$name.new"; pairs+=("$name"); shift 2
    done
}

# bench_measure COMMAND...: runs it once, prints "seconds peak_kib".
bench_measure() {
    local log=$work/time.log
    /usr/bin/time -f '%e %M' -o "$log" "$@" >/dev/null 2>&1 || { echo "FAILED: $*" >&2; return 1; }
    tail -n 1 "$log"
}

# bench_run_tools LABEL OLD NEW MAKE_SUBCOMMAND APPLY_SUBCOMMAND: makes and applies a patch from
# OLD to NEW with vtpatch ($vtpatch with the two subcommands), bsdiff, xdelta3 and zstd, checks
# each result, and fills the caller's size, secs, mem and make arrays by tool name.
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
        read -r make_s _ < <(bench_measure "${mk[@]}")
        read -r apply_s peak < <(bench_measure "${ap[@]}")
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

# bench_print_sizes: one line with the sizes of every pair.
bench_print_sizes() {
    echo "sizes: $(for p in "${pairs[@]}"; do printf '%s %s->%s bytes; ' "$(basename "$p")" "$(stat -c %s "$p.old")" "$(stat -c %s "$p.new")"; done)"
}
