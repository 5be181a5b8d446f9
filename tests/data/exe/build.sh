#!/usr/bin/env bash
# Builds the executable fixtures of the disassembler tests from src/prog.c, two versions each
# (VERSION 1 and 2), and writes them beside this script. The binaries are committed, so tests
# and CI never need these cross tools; run this only to change the fixtures.
# Installs its own tools (Debian packages) when they are missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src="$here/src/prog.c"
out=${1:-$here}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

packages=(gcc gcc-12-multilib gcc-arm-linux-gnueabihf mingw-w64 clang lld binutils python3)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [[ ${#missing[@]} -ne 0 ]]; then
    sudo=""
    [[ $(id -u) -ne 0 ]] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Freestanding, no unwind tables, no stack protector: only our own code ends up in the images.
cflags=(-O1 -fno-stack-protector -fno-asynchronous-unwind-tables -fno-unwind-tables -ffreestanding -fno-builtin)
elf_ld=(-nostdlib -Wl,-e,entry -Wl,--build-id=none -Wl,-z,noseparate-code -Wl,-z,norelro -s)
ld64=$(command -v ld64.lld || command -v ld64.lld-14)

for v in 1 2; do
    # ELF x86-64, position independent (relocations are RELA, which the x86-64 disassembler ignores).
    gcc "${cflags[@]}" -fcf-protection=none -DVERSION=$v -fPIE -pie "${elf_ld[@]}" "$src" -o "$out/elf-x64-pie-v$v"
    # ELF x86-64 at a fixed address.
    gcc "${cflags[@]}" -fcf-protection=none -DVERSION=$v -fno-pic -no-pie -static "${elf_ld[@]}" "$src" -o "$out/elf-x64-v$v"
    # ELF x86 32-bit PIE: pointers in data get R_386_RELATIVE entries in .rel.dyn.
    gcc -m32 "${cflags[@]}" -fcf-protection=none -DVERSION=$v -fPIE -pie "${elf_ld[@]}" "$src" -o "$out/elf-x86-pie-v$v"
    # ELF ARM PIE in ARM and in Thumb-2 mode: R_ARM_RELATIVE entries.
    arm-linux-gnueabihf-gcc "${cflags[@]}" -marm -DVERSION=$v -fPIE -pie "${elf_ld[@]}" "$src" -o "$out/elf-arm-pie-v$v"
    arm-linux-gnueabihf-gcc "${cflags[@]}" -mthumb -DVERSION=$v -fPIE -pie "${elf_ld[@]}" "$src" -o "$out/elf-thumb-pie-v$v"
    # PE32 and PE32+ with base relocations (--dynamicbase keeps .reloc in an executable).
    i686-w64-mingw32-gcc "${cflags[@]}" -DVERSION=$v -nostdlib -Wl,-e,_entry -Wl,--dynamicbase -s "$src" -o "$out/pe32-v$v.exe"
    x86_64-w64-mingw32-gcc "${cflags[@]}" -DVERSION=$v -nostdlib -Wl,-e,entry -Wl,--dynamicbase -s "$src" -o "$out/pe64-v$v.exe"
    # Mach-O x86-64, linked without any system library.
    clang -target x86_64-apple-macos11 "${cflags[@]}" -DVERSION=$v -c "$src" -o "$work/macho64-v$v.o"
    "$ld64" -arch x86_64 -platform_version macos 11.0 11.0 -e _entry -o "$out/macho-x64-v$v" "$work/macho64-v$v.o"
    # Mach-O i386: the linker refuses i386, so link a flat image as ELF at the address the
    # Mach-O layout gives the code, and wrap it in Mach-O headers.
    gcc -m32 "${cflags[@]}" -fcf-protection=none -fno-pic -DVERSION=$v -c "$src" -o "$work/macho32-v$v.o"
    ld -m elf_i386 --no-warn-rwx-segments -N -Ttext=0x2000 -e entry --build-id=none -o "$work/macho32-v$v.elf" "$work/macho32-v$v.o"
    python3 "$here/src/wrap_macho_i386.py" "$work/macho32-v$v.elf" "$out/macho-x86-v$v"
done
ls -l "$out"
