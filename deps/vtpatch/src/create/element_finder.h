#ifndef VTPATCH_CREATE_ELEMENT_FINDER_H
#define VTPATCH_CREATE_ELEMENT_FINDER_H

// Finding the executables inside a file, for the patch creator: each becomes an element of an
// ensemble patch, disassembled and encoded on both sides, so that moved code costs little.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vtpatch {

struct ExecutableElement {
    int kind = 0; // executable type code, 1 to 7
    uint32_t offset = 0;
    uint32_t length = 0;
};

// The executables in [data, data + length), in file order, not overlapping: images that start
// wherever an ELF, PE ("MZ") or Mach-O signature does, or the whole file when detection accepts
// it and no more than one image is found. An embedded image's length is what its headers cover.
// Costs a scan of every byte, plus a disassembly of each image found. Every element returned
// has been checked the way an applier will treat it: its exact byte range is detected,
// disassembled, trimmed and encoded without failure. Files of 4 GiB or more give none.
std::vector<ExecutableElement> FindExecutables(const uint8_t *data, size_t length);

// Pairs old elements with new ones of the same kind, keeping file order on both sides (the
// first unpaired new element of the kind after the previous pair). Returns (old index, new
// index) pairs in old file order.
std::vector<std::pair<size_t, size_t>> PairElements(const std::vector<ExecutableElement> &old_elements,
                                                    const std::vector<ExecutableElement> &new_elements);

} // namespace vtpatch

#endif // VTPATCH_CREATE_ELEMENT_FINDER_H
