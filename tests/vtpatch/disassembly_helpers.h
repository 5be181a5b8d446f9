// Helpers shared by the disassembler tests: a readable listing of a labelled program and
// little-endian writers for building images byte by byte.
#ifndef DISASSEMBLY_HELPERS_H
#define DISASSEMBLY_HELPERS_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

#include "lib/disassembler.h"
#include "lib/encoded_program.h"
#include "lib/labeled_program.h"
#include "lib/streams.h"

namespace disassembly_test {

// One line per instruction, with the image address each reference sits at; consecutive plain
// bytes are merged into one "bytes N" line (that is how they encode). For example:
//   origin 0x1000, bytes 3, rel32 @0x1003 -> 0x1020, abs32 @0x1007 -> 0x2000, elf-relocs
inline QStringList Describe(const vtpatch::LabeledProgram &program)
{
    using vtpatch::Instruction;
    QStringList lines;
    uint32_t address = 0;
    qint64 run = -1;
    const auto flush = [&]() {
        if (run >= 0)
            lines << QStringLiteral("bytes %1").arg(run);
        run = -1;
    };
    const auto hex = [](uint32_t value) { return QStringLiteral("0x") + QString::number(value, 16); };
    for (size_t i = 0; i < program.instruction_count(); ++i) {
        const Instruction &instruction = program.instruction(i);
        switch (instruction.kind) {
        case Instruction::BYTE:
            run = (run < 0 ? 0 : run) + 1;
            address += 1;
            continue;
        case Instruction::BYTES:
            run = (run < 0 ? 0 : run) + instruction.value;
            address += instruction.value;
            continue;
        default:
            break;
        }
        flush();
        switch (instruction.kind) {
        case Instruction::ORIGIN:
            address = instruction.value;
            lines << QStringLiteral("origin ") + hex(address);
            break;
        case Instruction::PE_RELOCATION_TABLE:
            lines << QStringLiteral("pe-relocs");
            break;
        case Instruction::ELF_RELOCATION_TABLE:
            lines << QStringLiteral("elf-relocs");
            break;
        case Instruction::ELF_ARM_RELOCATION_TABLE:
            lines << QStringLiteral("elf-arm-relocs");
            break;
        case Instruction::REL32:
            lines << QStringLiteral("rel32 @%1 -> %2").arg(hex(address), hex(instruction.label->address));
            address += 4;
            break;
        case Instruction::ABS32:
            lines << QStringLiteral("abs32 @%1 -> %2").arg(hex(address), hex(instruction.label->address));
            address += 4;
            break;
        case Instruction::ARM_BRANCH:
            lines << QStringLiteral("arm %1 @%2 -> %3")
                         .arg(hex(instruction.value), hex(address), hex(instruction.label->address));
            address += instruction.op_size;
            break;
        default:
            break;
        }
    }
    flush();
    return lines;
}

// Grows the image with zero bytes so that it holds at least `size` bytes.
inline void Grow(QByteArray *image, int size)
{
    if (image->size() < size)
        image->append(QByteArray(size - image->size(), '\0'));
}

inline void Put16(QByteArray *image, int offset, uint32_t value)
{
    Grow(image, offset + 2);
    (*image)[offset] = char(value & 0xFF);
    (*image)[offset + 1] = char((value >> 8) & 0xFF);
}

inline void Put32(QByteArray *image, int offset, uint32_t value)
{
    Put16(image, offset, value & 0xFFFF);
    Put16(image, offset + 2, value >> 16);
}

inline void Put64(QByteArray *image, int offset, uint64_t value)
{
    Put32(image, offset, uint32_t(value));
    Put32(image, offset + 4, uint32_t(value >> 32));
}

inline void PutBytes(QByteArray *image, int offset, const QByteArray &bytes)
{
    Grow(image, offset + bytes.size());
    image->replace(offset, bytes.size(), bytes);
}

inline const uint8_t *Data(const QByteArray &image)
{
    return reinterpret_cast<const uint8_t *>(image.constData());
}

// The reference and marker lines of a listing.
inline QStringList References(const QStringList &listing)
{
    QStringList out;
    for (const QString &line : listing) {
        if (!line.startsWith(QLatin1String("bytes")) && !line.startsWith(QLatin1String("origin")))
            out << line;
    }
    return out;
}

// Detection, disassembly, trimming, encoding and assembly, as an applier runs them.
inline QByteArray RoundTrip(const QByteArray &image, vtpatch::PatchStatus *status)
{
    std::unique_ptr<vtpatch::LabeledProgram> program;
    *status = vtpatch::ParseDetectedExecutable(Data(image), size_t(image.size()), &program);
    if (*status != vtpatch::PATCH_OK)
        return {};
    std::unique_ptr<vtpatch::EncodedProgram> encoded;
    if (!program->TrimLabels() || !program->Encode(&encoded)) {
        *status = vtpatch::PATCH_DIFF_FAILED;
        return {};
    }
    vtpatch::WriteStream out;
    *status = vtpatch::AssembleEncodedProgram(encoded.get(), &out);
    return QByteArray(reinterpret_cast<const char *>(out.Data()), int(out.Length()));
}

} // namespace disassembly_test

#endif // DISASSEMBLY_HELPERS_H
