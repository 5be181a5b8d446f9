#!/usr/bin/env python3
"""Wraps the code and data of a flat i386 ELF image (linked with -N -Ttext=0x2000) in Mach-O
headers: __PAGEZERO, one __TEXT segment (file offset 0, address 0x1000) holding the Mach-O
headers, a __text code section and a __data section, and an LC_UNIXTHREAD entry point.
ld64.lld does not link i386, so this is how the i386 Mach-O fixture is made.

usage: wrap_macho_i386.py IN.elf OUT"""
import struct
import sys

BASE = 0x1000       # vmaddr of __TEXT; file offset 0 maps here
CODE_OFFSET = 0x1000  # file offset of the linked image (so its address is BASE + 0x1000)


def main():
    elf = open(sys.argv[1], "rb").read()
    assert elf[:4] == b"\x7fELF" and elf[4] == 1, "not an ELF32 file"
    (e_entry, e_phoff, e_shoff) = struct.unpack_from("<III", elf, 24)
    (e_phentsize, e_phnum, e_shentsize, e_shnum, e_shstrndx) = struct.unpack_from("<HHHHH", elf, 42)
    loads = []
    for i in range(e_phnum):
        p_type, p_offset, p_vaddr, _, p_filesz, p_memsz = struct.unpack_from("<IIIIII", elf, e_phoff + i * e_phentsize)
        if p_type == 1:
            loads.append((p_offset, p_vaddr, p_filesz, p_memsz))
    assert len(loads) == 1, "expected one PT_LOAD segment (link with -N)"
    p_offset, p_vaddr, p_filesz, p_memsz = loads[0]
    assert p_vaddr == BASE + CODE_OFFSET, "link with -Ttext=0x%x" % (BASE + CODE_OFFSET)
    shstr_off = struct.unpack_from("<I", elf, e_shoff + e_shstrndx * e_shentsize + 16)[0]
    text = None
    for i in range(e_shnum):
        name, sh_type, _, addr, off, size = struct.unpack_from("<IIIIII", elf, e_shoff + i * e_shentsize)
        sname = elf[shstr_off + name:elf.index(b"\0", shstr_off + name)]
        if sname == b".text":
            text = (addr, size)
    assert text is not None, "no .text"
    image = elf[p_offset:p_offset + p_filesz]
    text_addr, text_size = text
    data_addr = text_addr + text_size
    data_size = p_vaddr + p_filesz - data_addr

    def section(sectname, segname, addr, size, flags):
        return struct.pack("<16s16sIIIIIIIII", sectname, segname, addr, size,
                           addr - BASE, 4, 0, 0, flags, 0, 0)

    sections = section(b"__text", b"__TEXT", text_addr, text_size, 0x80000400)
    sections += section(b"__data", b"__TEXT", data_addr, data_size, 0)
    pagezero = struct.pack("<II16sIIIIIIII", 1, 56, b"__PAGEZERO", 0, BASE, 0, 0, 0, 0, 0, 0)
    vmsize = (CODE_OFFSET + p_memsz + 0xFFF) & ~0xFFF
    text_seg = struct.pack("<II16sIIIIIIII", 1, 56 + 68 * 2, b"__TEXT", BASE, vmsize, 0,
                           CODE_OFFSET + p_filesz, 7, 5, 2, 0) + sections
    regs = [0] * 16
    regs[10] = e_entry  # eip
    thread = struct.pack("<IIII", 5, 16 + 64, 1, 16) + struct.pack("<16I", *regs)
    commands = pagezero + text_seg + thread
    header = struct.pack("<IIIIIII", 0xFEEDFACE, 7, 3, 2, 3, len(commands), 1)
    head = header + commands
    assert len(head) <= CODE_OFFSET
    with open(sys.argv[2], "wb") as f:
        f.write(head + b"\0" * (CODE_OFFSET - len(head)) + image)


if __name__ == "__main__":
    main()
