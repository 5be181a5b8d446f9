#!/usr/bin/env python3
"""Writes inputs that once could have made the ensemble, container and encoded-program readers
allocate gigabytes (counts and sizes taken from the input without a bound). libFuzzer's malloc
limit turns such an allocation into a failure, so fuzz/run.sh keeps checking them.
Run from anywhere: fuzz/regressions/make_guards.py"""
import lzma, os, struct, zlib

here = os.path.dirname(os.path.abspath(__file__))

def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)

def stream_set(streams):
    return bytes.fromhex('ea9aca09') + varint(len(streams)) + b''.join(varint(len(s)) for s in streams) + b''.join(streams)

def lzma2_block(data):
    raw = lzma.compress(data, format=lzma.FORMAT_RAW, filters=[{'id': lzma.FILTER_LZMA2, 'dict_size': 4096}])
    return b'\x00' + varint(len(data)) + raw  # property byte 0: 4 KiB dictionary

def checksum(data):
    return zlib.crc32(data) ^ 0xFFFFFFFF

def write(target, name, data):
    with open(os.path.join(here, target, name), 'wb') as f:
        f.write(data)

empty_set = stream_set([b''] * 10)
identity = b'\x00' + varint(15) + b'\x03\x0f\x00' + b'\x1e\x00\x00' + b'\x00' * 15
old, new = b'hello', b'hello world'
final = b'\x00' + varint(11) + b'\x03\x05\x06' + b'\x0a\x0c\x00' + b'\x00' * 5 + b' world'
assert len(empty_set) == 15

def ensemble(final_size, element_list=b'\x00'):
    body = stream_set([element_list, identity, identity, final])
    return (varint(7696195) + varint(20110216) + varint(checksum(old)) + varint(checksum(new)) + varint(final_size)
            + lzma2_block(body))

# fuzz_ensemble input: old length (2 bytes, little-endian), old, patch.
write('fuzz_ensemble', 'final-input-4gib', struct.pack('<H', len(old)) + old + ensemble(0xFFFFFFFF))
write('fuzz_ensemble', 'element-count-4g', struct.pack('<H', len(old)) + old + ensemble(5, varint(0xFFFFFFFF) + b'\x01'))

# Encoded programs whose tables announce 2^32 - 1 entries.
zero = b'\x00'
program = [zero + zero, zero, zero, zero, zero, zero, zero, zero, b'']
for index, name in [(1, 'ops'), (5, 'abs32-rvas'), (6, 'rel32-rvas'), (2, 'copy-bytes')]:
    streams = list(program)
    streams[index] = (zero if index == 0 else b'') + varint(0xFFFFFFFF) + b'\x01'
    write('fuzz_encoded_program', 'count-4g-' + name, stream_set(streams))

# A container whose LZMA2 block announces 4 GiB of output.
write('fuzz_container', 'block-length-4g', varint(132781929) + varint(0) + varint(1) + b'\x00' + varint(0xFFFFFFFF) + b'\x00')

# A patch with an ELF element (the final input is built) whose header predicts 4 GiB of it.
seed = open(os.path.join(here, '..', 'corpus', 'fuzz_ensemble', 'elf-x86-pie'), 'rb').read()
old_length = seed[0] | seed[1] << 8
patch = bytearray(seed[2 + old_length:])
at = 8
for _ in range(2):  # the two checksums
    while patch[at] & 0x80:
        at += 1
    at += 1
end = at
while patch[end] & 0x80:
    end += 1
patch[at:end + 1] = varint(0xFFFFFFFF)
write('fuzz_ensemble', 'element-final-input-4gib', seed[:2 + old_length] + bytes(patch))
