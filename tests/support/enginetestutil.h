#ifndef ENGINETESTUTIL_H
#define ENGINETESTUTIL_H

// Byte helpers for the patch engine tests (tests/vtpatch and tests/tools only: uses the engine
// and its writers).

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtEndian>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "create/bytediff_create.h"
#include "create/element_finder.h"
#include "create/ensemble_create.h"
#include "create/label_alignment.h"
#include "create/program_writer.h"
#include "lib/checksum.h"
#include "lib/encoded_program.h"
#include "lib/logging.h"
#include "lib/streams.h"
#include "testfiles.h"
#include "testpaths.h"

namespace EngineTestUtil {

inline const uint8_t *U8(const QByteArray &bytes)
{
    return reinterpret_cast<const uint8_t *>(bytes.constData());
}

inline QByteArray Bytes(const vtpatch::WriteStream &stream)
{
    return QByteArray(reinterpret_cast<const char *>(stream.Data()), static_cast<int>(stream.Length()));
}

inline QByteArray Varint(uint32_t value)
{
    vtpatch::WriteStream s;
    s.WriteVarint32(value);
    return Bytes(s);
}

inline uint32_t Checksum(const QByteArray &bytes)
{
    return vtpatch::PatchChecksum(U8(bytes), static_cast<size_t>(bytes.size()));
}

// The streams as one linearised stream set.
inline QByteArray LinearSet(const std::vector<QByteArray> &streams)
{
    std::vector<vtpatch::WriteStream> parts(streams.size());
    std::vector<const vtpatch::WriteStream *> pointers;
    for (size_t i = 0; i < streams.size(); ++i) {
        parts[i].Write(streams[i].constData(), static_cast<size_t>(streams[i].size()));
        pointers.push_back(&parts[i]);
    }
    vtpatch::WriteStream out;
    vtpatch::WriteStreamSetOfCount(pointers.data(), pointers.size(), &out);
    return Bytes(out);
}

// A byte diff from `from` to `to` with no compression of its own.
inline QByteArray RawDiff(const QByteArray &from, const QByteArray &to)
{
    vtpatch::ByteDiffOptions options;
    options.method = vtpatch::BYTE_DIFF_RAW;
    vtpatch::WriteStream out;
    vtpatch::CreateByteDiff(U8(from), static_cast<size_t>(from.size()), U8(to), static_cast<size_t>(to.size()),
                            &out, options);
    return Bytes(out);
}

// An executable fixture from tests/data/exe, or empty when it cannot be read.
inline QByteArray ExeFixture(const QString &name)
{
    return TestFiles::readFile(TestPaths::dataFile(QStringLiteral("exe/") + name));
}

// An ELF32 fixture whose first PROGBITS section claims 256 MB: detection accepts the headers,
// disassembly fails.
inline QByteArray ElfWithOversizedSection(const QString &fixture)
{
    QByteArray image = ExeFixture(fixture);
    auto get32 = [&image](int at) { return qFromLittleEndian<quint32>(image.constData() + at); };
    auto get16 = [&image](int at) { return qFromLittleEndian<quint16>(image.constData() + at); };
    const int shoff = int(get32(0x20)), entsize = get16(0x2E), shnum = get16(0x30);
    for (int i = 0; i < shnum; ++i) {
        const int entry = shoff + i * entsize;
        if (get32(entry + 4) == 1) { // PROGBITS
            qToLittleEndian<quint32>(0x10000000, image.data() + entry + 20);
            break;
        }
    }
    return image;
}

// A patch with every pair of executables found in both files as an element, the new labels
// aligned, made step by step as a publisher could. False (with *error) when it cannot be made;
// *element_count gets the number of elements.
inline bool AlignedElementsPatch(const QByteArray &oldBytes, const QByteArray &newBytes, vtpatch::WriteStream *patch,
                                 size_t *element_count, std::string *error)
{
    const std::vector<vtpatch::ExecutableElement> o = vtpatch::FindExecutables(U8(oldBytes), size_t(oldBytes.size()));
    const std::vector<vtpatch::ExecutableElement> n = vtpatch::FindExecutables(U8(newBytes), size_t(newBytes.size()));
    std::vector<std::unique_ptr<vtpatch::EncodedProgram>> programs;
    std::vector<vtpatch::EnsembleElementPair> elements;
    for (const auto &pair : vtpatch::PairElements(o, n)) {
        std::unique_ptr<vtpatch::EncodedProgram> oldProgram, newProgram;
        int kind = 0;
        const vtpatch::ExecutableElement &a = o[pair.first];
        const vtpatch::ExecutableElement &b = n[pair.second];
        if (vtpatch::EncodeExecutable(U8(oldBytes) + a.offset, a.length, &oldProgram, &kind) != vtpatch::PATCH_OK ||
            vtpatch::EncodeAlignedExecutable(U8(oldBytes) + a.offset, a.length, U8(newBytes) + b.offset, b.length,
                                             &newProgram, &kind) != vtpatch::PATCH_OK) {
            *error = "an element pair does not encode";
            return false;
        }
        vtpatch::EnsembleElementPair element;
        element.kind = kind;
        element.old_offset = a.offset;
        element.old_length = a.length;
        element.old_program = oldProgram.get();
        element.new_program = newProgram.get();
        elements.push_back(element);
        programs.push_back(std::move(oldProgram));
        programs.push_back(std::move(newProgram));
    }
    *element_count = elements.size();
    return vtpatch::CreateEnsemblePatchWithElements(U8(oldBytes), size_t(oldBytes.size()), U8(newBytes),
                                                    size_t(newBytes.size()), elements, patch,
                                                    vtpatch::EnsembleOptions(), error);
}

// Bytes that hold no executable signature.
inline QByteArray Filler(int size, char seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 7);
    return bytes;
}

// Collects the engine log records while alive, as "LEVEL text".
class LogCapture {
public:
    LogCapture()
    {
        vtpatch::SetLogSink([this](vtpatch::LogLevel level, const std::string &text) {
            records.push_back(QString::fromLatin1(vtpatch::LogLevelName(level)) + QLatin1Char(' ') +
                              QString::fromStdString(text));
        });
    }
    ~LogCapture() { vtpatch::SetLogSink(nullptr); }
    LogCapture(const LogCapture &) = delete; // owns the engine's one log sink
    LogCapture &operator=(const LogCapture &) = delete;
    QStringList records;
};

} // namespace EngineTestUtil

#endif // ENGINETESTUTIL_H
