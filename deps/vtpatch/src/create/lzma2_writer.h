#ifndef VTPATCH_CREATE_LZMA2_WRITER_H
#define VTPATCH_CREATE_LZMA2_WRITER_H

#include <cstddef>
#include <cstdint>

namespace vtpatch {

class WriteStream;

// Encoder settings for one LZMA2 block. The defaults are liblzma's preset 9.
struct Lzma2WriteOptions {
    uint32_t preset = 9;      // liblzma's 0 to 9
    bool extreme = false;     // slower search, usually a little smaller
    int literal_context = -1; // lc 0 to 4; -1 keeps the preset's (3)
    int position_bits = -1;   // pb 0 to 4; -1 keeps the preset's (2)
    // How far the match finder searches; -1 keeps the preset's (512 for the extreme preset 9),
    // 0 lets liblzma choose from the match length it looks for. Neither wins on every input.
    int search_depth = -1;
    // Largest dictionary to use; readers allocate the dictionary a block announces (capped at
    // its length), so this bounds their memory. 0 keeps the preset's (64 MiB at preset 9).
    uint32_t max_dictionary = 0;
};

// Appends one LZMA2 block holding [data, data + length) to *out: the dictionary property byte,
// the length as varint32 and the raw LZMA2 stream with its end marker, which is what
// ReadStream::ReadLzma2Block reads back. The dictionary is no larger than the data needs (at
// least 4 KiB), so readers allocate little for small blocks.
// Fails (false) if length is 2^32 or more, if liblzma fails, or if *out is or becomes failed;
// *out may then end in a partial block, to be discarded. Any thread; liblzma's encoder needs
// about 11 x the dictionary in memory.
bool WriteLzma2Block(const uint8_t *data, size_t length, WriteStream *out, const Lzma2WriteOptions &options);
bool WriteLzma2Block(const uint8_t *data, size_t length, WriteStream *out, uint32_t preset = 9);

// One run of bytes of a block written in sections, with the encoder settings that suit it.
struct Lzma2Section {
    const uint8_t *data = nullptr;
    size_t length = 0;
    Lzma2WriteOptions options;
};

// Appends one LZMA2 block holding the sections back to back, each compressed on its own with
// its own settings: LZMA2 lets a stream reset its dictionary and change lc/lp/pb between
// chunks, so the sections are independent LZMA2 streams joined at their end markers. A reader
// sees one ordinary block (ReadLzma2Block, Lzma2BlockReader). Worth it where the sections
// differ in kind (the near-zero diff bytes and the new bytes of a byte diff); a section loses
// what it could have matched in the others. The property byte announces the largest section
// dictionary. Fails as WriteLzma2Block does, also when the sections add up to 2^32 or more.
bool WriteLzma2BlockSections(const Lzma2Section *sections, size_t count, WriteStream *out);

} // namespace vtpatch

#endif // VTPATCH_CREATE_LZMA2_WRITER_H
