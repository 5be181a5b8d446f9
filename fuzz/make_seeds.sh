#!/usr/bin/env bash
# Makes the seed corpora of fuzz_ensemble, fuzz_container and fuzz_encoded_program from the
# executable fixtures and small text files, with the vtpatch tool of a build:
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

for f in "$work/t1" "$work/empty" "$work/one"; do
    "$tool" pack "$f" "$here/corpus/fuzz_container/plain-$(basename "$f")" >/dev/null
done
for f in elf-x86-pie-v1 elf-x64-v1 elf-thumb-pie-v1 elf-arm-pie-v1 pe32-v1.exe pe64-v1.exe macho-x86-v1; do
    "$tool" pack "$exe/$f" "$here/corpus/fuzz_container/$f" >/dev/null
    "$tool" encode "$exe/$f" "$here/corpus/fuzz_encoded_program/$f" >/dev/null
done
echo "seeds written under $here/corpus"
