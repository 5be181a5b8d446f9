#!/usr/bin/env bash
# Patch sizes on executables: `vtpatch make-patch` beside bsdiff, xdelta3 -9 and
# zstd --patch-from --ultra -22, on every v1 -> v2 pair in tests/data/exe/ and on two builds of
# this project's own `update` binary. One run; prints each size and its ratio to vtpatch's
# (above 1: vtpatch is smaller), what make-patch chose (elements, label numbering), and the
# format floor: the fewest bytes any patch of ours can take for that many new bytes (lib.sh).
#
#   bench/exe_patch_bench.sh [BUILD_DIR]
#
# vtpatch comes from BUILD_DIR (default build/). The two `update` builds are made from a copy of
# the source tree under BUILD_DIR/exe-bench/ with BUILD_DIR's build type, once as it stands and
# again with one constant changed (the zip reader's buffer size: `update`), and once more with a
# function added to that file as well (`update-func`: all code linked after it moves). The copy
# is kept, so a second run only recompiles that one file. Each pair as built (with debug
# information: the project's default build type) and stripped. BENCH_WORK=DIR keeps the pairs and
# patches there for a closer look.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
. "$here/bench/lib.sh"
vtpatch=$build/bin/vtpatch
bench_require_built "$vtpatch" vtpatch_tool
bench_require_tools bsdiff xdelta3 zstd python3 cmake ninja strip tar

bench_work_dir

# --- two builds of `update` -------------------------------------------------------------------
bench_dir=$build/exe-bench
src=$bench_dir/src
obj=$bench_dir/obj
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
echo "building two releases of update ($build_type) in $bench_dir..." >&2
mkdir -p "$src"
# Refresh the copy without touching files that did not change, so ninja rebuilds little.
(cd "$here" && tar -cf - --exclude='./build*' --exclude=./.git .) | (cd "$src" && tar -xf - --keep-newer-files 2>/dev/null || true)
zip_reader=$src/src/fileunpackfunc_zip.cpp
grep -q 'kBufferSize = 16384;' "$zip_reader" || { echo "the changed constant is gone from $zip_reader" >&2; exit 1; }
cmake -S "$src" -B "$obj" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" -DVT3_BUILD_TESTS=OFF -DVT3_BUILD_BENCH=OFF \
    >/dev/null
cmake --build "$obj" --target update -j2 >/dev/null
update_bin=$obj/src/update
[[ -x $update_bin ]] || update_bin=$obj/bin/update
cp "$update_bin" "$work/update.old"
cp "$update_bin" "$work/update-func.old"
# Release b: one constant changed (code keeps its layout).
cp "$zip_reader" "$work/zip_reader.cpp"
sed -i 's/kBufferSize = 16384;/kBufferSize = 32768;/' "$zip_reader"
cmake --build "$obj" --target update -j2 >/dev/null
cp "$update_bin" "$work/update.new"
# Release c: also a new function, which moves all code linked after it.
cat >>"$zip_reader" <<'CODE'
int vt3BenchCountZipSignatures(const unsigned char *data, int length)
{
    int count = 0;
    for (int i = 0; i + 3 < length; ++i)
        count += data[i] == 'P' && data[i + 1] == 'K' && data[i + 2] == 3 && data[i + 3] == 4;
    return count;
}
CODE
cmake --build "$obj" --target update -j2 >/dev/null
cp "$update_bin" "$work/update-func.new"
cp "$work/zip_reader.cpp" "$zip_reader"
for pair in update update-func; do
    strip -o "$work/$pair-stripped.old" "$work/$pair.old"
    strip -o "$work/$pair-stripped.new" "$work/$pair.new"
done
cmp -s "$work/update.old" "$work/update.new" && { echo "the two update builds are identical" >&2; exit 1; }

# --- the pairs --------------------------------------------------------------------------------
pairs=()
for v1 in "$here"/tests/data/exe/*-v1*; do
    v2=${v1/-v1/-v2}
    [[ -f $v2 ]] || continue
    name=$(basename "${v1/-v1/}")
    cp "$v1" "$work/$name.old"; cp "$v2" "$work/$name.new"; pairs+=("$name")
done
pairs+=(update update-stripped update-func update-func-stripped)

printf '%-16s %9s %6s %9s %8s %8s %8s %8s %8s %8s  %s\n' pair new_bytes floor vtpatch bsdiff bs_x xdelta3 xd_x zstd \
    zs_x "make-patch chose"
worst=""
for name in "${pairs[@]}"; do
    old=$work/$name.old new=$work/$name.new
    # Its notes (an executable with debug sections is diffed as bytes) would break up the table.
    chose=$("$vtpatch" make-patch "$old" "$new" "$work/p.vtpatch" 2>"$work/make-patch.err" |
        sed 's/^[^:]*: [0-9]* bytes, //') || { cat "$work/make-patch.err" >&2; exit 1; }
    "$vtpatch" apply "$old" "$work/p.vtpatch" "$work/out" >/dev/null
    cmp -s "$work/out" "$new" || { echo "vtpatch did not reproduce $name" >&2; exit 1; }
    bsdiff "$old" "$new" "$work/p.bsdiff"
    xdelta3 -9 -f -e -s "$old" "$new" "$work/p.xdelta3"
    zstd -q -f --ultra -22 --long=31 --patch-from="$old" "$new" -o "$work/p.zstd" 2>/dev/null
    sizes=()
    for tool in vtpatch bsdiff xdelta3 zstd; do sizes+=("$(stat -c %s "$work/p.$tool")"); done
    floor=$(bench_format_floor "$new")
    line=$(python3 -c "
import sys
name, new, f, v, b, x, z = sys.argv[1:8]
new, f, v, b, x, z = int(new), int(f), int(v), int(b), int(x), int(z)
print('%-16s %9d %6d %9d %8d %8.2f %8d %8.2f %8d %8.2f' % (name, new, f, v, b, b / v, x, x / v, z, z / v))
" "$name" "$(stat -c %s "$new")" "$floor" "${sizes[@]}")
    echo "$line  $chose"
    smallest_other=$(printf '%s\n' "${sizes[@]:1}" | sort -n | head -n 1)
    if (( sizes[0] >= smallest_other )); then
        worst+=" $name"
        if (( smallest_other < floor )); then worst+=" (another tool is below the format floor)"; fi
    fi
done
if [[ -z $worst ]]; then
    echo "vtpatch is smaller than bsdiff, xdelta3 and zstd on every pair"
else
    echo "vtpatch is not the smallest on:$worst"
fi
