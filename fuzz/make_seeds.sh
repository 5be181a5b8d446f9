#!/usr/bin/env bash
# Makes the seed corpora of fuzz_ensemble, fuzz_ensemble_body, fuzz_container and
# fuzz_encoded_program from the executable fixtures and small text files, with the vtpatch tool
# of a build:
#   fuzz/make_seeds.sh build/bin/vtpatch
set -euo pipefail
tool=$(realpath "${1:?usage: fuzz/make_seeds.sh path/to/vtpatch}")
here=$(cd "$(dirname "$0")" && pwd)
exe="$here/../tests/data/exe"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$here/corpus/fuzz_ensemble" "$here/corpus/fuzz_container" "$here/corpus/fuzz_encoded_program"

# fuzz_ensemble input: 2-byte little-endian old length, old bytes, patch (with elements where
# the files are executables, so that fuzzing reaches disassembly and assembly).
ensemble_seed() { # old new name
    "$tool" make-patch --elements "$1" "$2" "$work/patch" >/dev/null
    local n; n=$(stat -c %s "$1")
    { printf "\\x$(printf %02x $((n & 255)))\\x$(printf %02x $((n >> 8)))"; cat "$1" "$work/patch"; } \
        >"$here/corpus/fuzz_ensemble/$3"
}
printf 'the quick brown fox jumps over the lazy dog\n%.0s' {1..20} >"$work/t1"
{ cat "$work/t1"; printf 'and then some more text\n'; } >"$work/t2"
printf 'x' >"$work/one"
: >"$work/empty"
ensemble_seed "$work/t1" "$work/t2" text
ensemble_seed "$work/t1" "$work/empty" to-empty
ensemble_seed "$work/one" "$work/t1" from-one-byte
for pair in elf-x86-pie elf-x64 elf-x64-pie elf-thumb-pie elf-arm-pie macho-x86; do
    ensemble_seed "$exe/$pair-v1" "$exe/$pair-v2" "$pair"
done
ensemble_seed "$exe/pe32-v1.exe" "$exe/pe32-v2.exe" pe32
ensemble_seed "$exe/pe64-v1.exe" "$exe/pe64-v2.exe" pe64

# fuzz_ensemble_body input: the same with the patch's body decoded (header and LZMA2 layer off).
mkdir -p "$here/corpus/fuzz_ensemble_body"
python3 - "$here/corpus/fuzz_ensemble" "$here/corpus/fuzz_ensemble_body" <<'PY'
import lzma, os, sys
def varint(b, i):
    value = shift = 0
    while True:
        value |= (b[i] & 0x7F) << shift
        shift += 7
        i += 1
        if not b[i - 1] & 0x80:
            return value, i
for name in os.listdir(sys.argv[1]):
    seed = open(os.path.join(sys.argv[1], name), 'rb').read()
    old_length = seed[0] | seed[1] << 8
    patch, i = seed[2 + old_length:], 0
    for _ in range(5):
        _, i = varint(patch, i)
    prop = patch[i]
    length, i = varint(patch, i + 1)
    dictionary = max(4096, min(length, (2 | (prop & 1)) << (prop // 2 + 11)))
    body = lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[{'id': lzma.FILTER_LZMA2, 'dict_size': dictionary}])
    with open(os.path.join(sys.argv[2], name), 'wb') as out:
        out.write(seed[:2 + old_length] + body.decompress(patch[i:]))
PY

for f in "$work/t1" "$work/empty" "$work/one"; do
    "$tool" pack "$f" "$here/corpus/fuzz_container/plain-$(basename "$f")" >/dev/null
done
for f in elf-x86-pie-v1 elf-x64-v1 elf-thumb-pie-v1 elf-arm-pie-v1 pe32-v1.exe pe64-v1.exe macho-x86-v1; do
    "$tool" pack "$exe/$f" "$here/corpus/fuzz_container/$f" >/dev/null
    "$tool" encode "$exe/$f" "$here/corpus/fuzz_encoded_program/$f" >/dev/null
done
echo "seeds written under $here/corpus"
