#!/usr/bin/env bash
# Remakes the golden corpus of ensemble patches and LZMA containers with a built vtpatch tool:
#   tests/data/vtpatch/make.sh build/bin/vtpatch
# The files are committed: tests apply them with today's engine, so a change that alters the
# formats on both sides (writer and reader alike) still fails. Remake them only for a deliberate
# format change, never to make a failing test pass.
set -euo pipefail
tool=$(realpath "${1:?usage: make.sh path/to/vtpatch}")
cd "$(dirname "$0")"
exe=../exe

python3 - <<'CODE'
lines = ['%05d the quick brown fox jumps over the lazy dog\n' % i for i in range(400)]
open('good-text.old', 'w').write(''.join(lines))
lines[17] = 'a changed line\n'
del lines[200:230]
lines.insert(300, 'an inserted line\n' * 5)
open('good-text.new', 'w').write(''.join(lines))
CODE
"$tool" make-patch good-text.old good-text.new good-text.patch
"$tool" make-patch --elements "$exe/elf-x86-pie-v1" "$exe/elf-x86-pie-v2" good-elf-x86-pie.patch
"$tool" make-patch --elements "$exe/elf-arm-pie-v1" "$exe/elf-arm-pie-v2" good-elf-arm-pie.patch
"$tool" make-patch --elements "$exe/pe32-v1.exe" "$exe/pe32-v2.exe" good-pe32.patch
"$tool" pack good-text.new good-text.lzma
"$tool" pack "$exe/elf-x86-pie-v2" good-elf-x86-pie-v2.lzma
"$tool" pack "$exe/pe64-v2.exe" good-pe64-v2.lzma

python3 - <<'CODE'
def derive(source, target, change):
    data = bytearray(open(source, 'rb').read())
    change(data)
    open(target, 'wb').write(data)

def set_byte(offset, value):
    def change(data):
        data[offset] = value
    return change

def varint_end(data, at):
    while data[at] & 0x80:
        at += 1
    return at + 1

derive('good-text.patch', 'bad-magic.patch', set_byte(0, 0xC4))
derive('good-text.patch', 'bad-version.patch', set_byte(4, 0x89))
derive('good-text.patch', 'bad-truncated.patch', lambda d: d.__delitem__(slice(len(d) - 10, len(d))))
derive('good-text.lzma', 'bad-checksum.lzma', lambda d: d.__setitem__(4, d[4] ^ 1))
derive('good-text.lzma', 'bad-directive.lzma', lambda d: d.__setitem__(varint_end(d, 4), 3))
derive('good-elf-x86-pie-v2.lzma', 'bad-truncated.lzma', lambda d: d.__delitem__(slice(len(d) - 20, len(d))))
CODE
echo "corpus written"
