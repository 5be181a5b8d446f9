#include "create/element_finder.h"

#include <cstring>
#include <memory>

#include "create/program_writer.h"
#include "lib/disassembler.h"
#include "lib/encoded_program.h"

namespace vtpatch {

namespace {

// True where one of the formats' signatures starts.
bool SignatureAt(const uint8_t *p, size_t left)
{
    if (left >= 4 && p[0] == 0x7F && p[1] == 'E' && p[2] == 'L' && p[3] == 'F')
        return true;
    if (left >= 4 && (p[0] == 0xCE || p[0] == 0xCF) && p[1] == 0xFA && p[2] == 0xED && p[3] == 0xFE)
        return true;
    return left >= 64 && p[0] == 'M' && p[1] == 'Z';
}

// Whether an applier can use [data, data + length) as an element of this kind.
bool Encodes(const uint8_t *data, size_t length, int kind)
{
    std::unique_ptr<EncodedProgram> program;
    int encoded_kind = 0;
    return EncodeExecutable(data, length, &program, &encoded_kind) == PATCH_OK && encoded_kind == kind;
}

} // namespace

std::vector<ExecutableElement> FindExecutables(const uint8_t *data, size_t length)
{
    std::vector<ExecutableElement> elements;
    if (length == 0 || length > UINT32_MAX)
        return elements;
    size_t image_length = 0;
    size_t offset = 0;
    while (offset < length) {
        if (!SignatureAt(data + offset, length - offset)) {
            ++offset;
            continue;
        }
        const int kind = DetectExecutable(data + offset, length - offset, &image_length);
        if (kind != 0 && image_length > 0 && Encodes(data + offset, image_length, kind)) {
            elements.push_back({kind, static_cast<uint32_t>(offset), static_cast<uint32_t>(image_length)});
            offset += image_length;
        } else {
            ++offset;
        }
    }
    // A lone executable is taken whole, with what follows its headers' extent (a trailing segment
    // the headers do not count). A file that starts with one executable and carries more behind
    // it (a bundle, a self-extracting archive) keeps them apart.
    if (elements.size() <= 1) {
        const int whole = DetectExecutable(data, length, &image_length);
        if (whole != 0 && Encodes(data, length, whole)) {
            elements.clear();
            elements.push_back({whole, 0, static_cast<uint32_t>(length)});
        }
    }
    return elements;
}

std::vector<std::pair<size_t, size_t>> PairElements(const std::vector<ExecutableElement> &old_elements,
                                                    const std::vector<ExecutableElement> &new_elements)
{
    std::vector<std::pair<size_t, size_t>> pairs;
    size_t next_new = 0;
    for (size_t i = 0; i < old_elements.size(); ++i) {
        for (size_t j = next_new; j < new_elements.size(); ++j) {
            if (new_elements[j].kind == old_elements[i].kind) {
                pairs.emplace_back(i, j);
                next_new = j + 1;
                break;
            }
        }
    }
    return pairs;
}

} // namespace vtpatch
