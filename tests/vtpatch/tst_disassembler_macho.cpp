// Mach-O disassembly (x86 and x86-64): the header and load command checks with their reasons,
// the rebase to the lowest segment that counts, the branch scan of code sections and the
// emission up to the end of the last segment. Images are written byte by byte: __TEXT maps
// file offset 0 with the code section at file offset 0x200, __DATA follows at 0x1000.
#include <QtTest>

#include <memory>

#include "disassembly_helpers.h"
#include "lib/disassembler.h"
#include "lib/disassembler_macho.h"
#include "lib/encoded_program.h"
#include "lib/labeled_program.h"
#include "lib/streams.h"

using namespace vtpatch;
using namespace disassembly_test;

namespace {

constexpr uint64_t kBase64 = 0x100000000ull;
constexpr uint32_t kBase32 = 0x1000;
constexpr uint32_t kCode = 0x80000400; // S_REGULAR | pure instructions | some instructions

struct Section {
    const char *name;
    uint64_t addr;
    uint64_t size;
    uint32_t offset;
    uint32_t flags;
};

struct Image {
    bool is64 = true;
    QByteArray commands;
    int count = 0;

    void Segment(const char *name, uint64_t vmaddr, uint64_t vmsize, uint64_t fileoff, uint64_t filesize,
                 const std::vector<Section> &sections)
    {
        QByteArray command;
        const int head = is64 ? 72 : 56;
        const int each = is64 ? 80 : 68;
        Put32(&command, 0, is64 ? 25 : 1);
        Put32(&command, 4, uint32_t(head + each * int(sections.size())));
        PutBytes(&command, 8, QByteArray(name));
        if (is64) {
            Put64(&command, 24, vmaddr);
            Put64(&command, 32, vmsize);
            Put64(&command, 40, fileoff);
            Put64(&command, 48, filesize);
            Put32(&command, 64, uint32_t(sections.size()));
        } else {
            Put32(&command, 24, uint32_t(vmaddr));
            Put32(&command, 28, uint32_t(vmsize));
            Put32(&command, 32, uint32_t(fileoff));
            Put32(&command, 36, uint32_t(filesize));
            Put32(&command, 48, uint32_t(sections.size()));
        }
        Grow(&command, head);
        for (const Section &s : sections) {
            const int at = command.size();
            PutBytes(&command, at, QByteArray(s.name));
            if (is64) {
                Put64(&command, at + 32, s.addr);
                Put64(&command, at + 40, s.size);
                Put32(&command, at + 48, s.offset);
                Put32(&command, at + 64, s.flags);
            } else {
                Put32(&command, at + 32, uint32_t(s.addr));
                Put32(&command, at + 36, uint32_t(s.size));
                Put32(&command, at + 40, s.offset);
                Put32(&command, at + 56, s.flags);
            }
            Grow(&command, at + each);
        }
        commands += command;
        ++count;
    }

    void Other(uint32_t cmd, int size)
    {
        QByteArray command;
        Put32(&command, 0, cmd);
        Put32(&command, 4, uint32_t(size));
        Grow(&command, size);
        commands += command;
        ++count;
    }

    // `header64` picks the header (and so where the commands start) apart from the commands'
    // own width: -1 follows is64.
    QByteArray Build(int length, uint32_t filetype = 2, int header64 = -1) const
    {
        const bool wide = header64 < 0 ? is64 : header64 != 0;
        QByteArray image;
        Put32(&image, 0, wide ? 0xFEEDFACF : 0xFEEDFACE);
        Put32(&image, 4, wide ? 0x01000007 : 7);
        Put32(&image, 8, 3);
        Put32(&image, 12, filetype);
        Put32(&image, 16, uint32_t(count));
        Put32(&image, 20, uint32_t(commands.size()));
        PutBytes(&image, wide ? 32 : 28, commands);
        Grow(&image, length);
        return image;
    }
};

// A typical image: __PAGEZERO, __TEXT (0x1000 bytes from file offset 0, code at 0x200 of
// `codeSize` bytes, constants at 0x800), __DATA (0x100 bytes at 0x1000), then `tail` bytes
// that no segment with sections covers (like __LINKEDIT).
QByteArray Typical(bool is64, const QByteArray &code, int tail = 0x40)
{
    Image image;
    image.is64 = is64;
    const uint64_t base = is64 ? kBase64 : kBase32;
    image.Segment("__PAGEZERO", 0, is64 ? kBase64 : kBase32, 0, 0, {});
    image.Segment(
        "__TEXT", base, 0x1000, 0, 0x1000,
        {{"__text", base + 0x200, uint64_t(code.size()), 0x200, kCode}, {"__const", base + 0x800, 0x100, 0x800, 0}});
    image.Segment("__DATA", base + 0x1000, 0x1000, 0x1000, 0x100, {{"__data", base + 0x1000, 0x100, 0x1000, 0}});
    image.Other(0x2, 24); // LC_SYMTAB, skipped
    QByteArray bytes = image.Build(0x1100 + tail);
    PutBytes(&bytes, 0x200, code);
    return bytes;
}

QByteArray Hex(const char *hex)
{
    return QByteArray::fromHex(hex);
}

} // namespace

class TestDisassemblerMacho : public QObject {
    Q_OBJECT

private slots:
    void headerChecks_data();
    void headerChecks();
    void branchScan_data();
    void branchScan();
    void programFieldByField();
};

void TestDisassemblerMacho::headerChecks_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("kind");
    const QByteArray good64 = Typical(true, Hex("C3"));
    const QByteArray good32 = Typical(false, Hex("C3"));
    QTest::newRow("x86-64 accepted") << good64 << QString() << int(MACHO_X64);
    QTest::newRow("x86 accepted") << good32 << QString() << int(MACHO_X86);
    QTest::newRow("31 bytes") << good64.left(31) << "Too small" << 0;
    QByteArray image = good64;
    Put32(&image, 0, 0xBEBAFECA);
    QTest::newRow("fat file") << image << "Unknown magic type" << 0;
    image = good64;
    Put32(&image, 4, 0x0100000C);
    QTest::newRow("ARM64") << image << "unsupported cpu type" << 0;
    image = good32;
    Put32(&image, 4, 0x01000007);
    QTest::newRow("32-bit header with x86-64 cpu") << image << "unsupported cpu type" << 0;
    QTest::newRow("object file") << Typical(true, Hex("C3")).replace(12, 1, "\x01") << "Unsupported filetype in header"
                                 << 0;
    QTest::newRow("dylib") << Typical(true, Hex("C3")).replace(12, 1, "\x06") << QString() << int(MACHO_X64);
    Image raw;
    raw.Other(0x2, 24);
    image = raw.Build(32 + 24 + 7);
    Put32(&image, 16, 2);
    QTest::newRow("7 bytes left for a command") << image << "file to small in load commands" << 0;
    image = good64;
    Put32(&image, 32 + 4, 0x100000);
    QTest::newRow("command larger than the file") << image << "file to small in load commands" << 0;

    raw = Image();
    raw.Other(0x2, 4);
    QTest::newRow("command shorter than its head") << raw.Build(0x100) << "bad load command size" << 0;
    raw = Image();
    raw.is64 = false;
    raw.Segment("__TEXT", 0, 0x1000, 0, 0x100, {{"__text", 0, 0x10, 0, kCode}});
    image = raw.Build(0x200, 2, 1);
    QTest::newRow("LC_SEGMENT in a 64-bit image") << image << "LC_SEGMENT not supported" << 0;
    raw = Image();
    raw.Segment("__TEXT", 0, 0x1000, 0, 0x100, {{"__text", 0, 0x10, 0, kCode}});
    image = raw.Build(0x200, 2, 0);
    QTest::newRow("LC_SEGMENT_64 in a 32-bit image") << image << "LC_SEGMENT_64 not supported" << 0;
    image = raw.Build(0x200);
    Put32(&image, 32 + 4, 70);
    QTest::newRow("LC_SEGMENT_64 of 70 bytes") << image << "bad LC_SEGMENT_64" << 0;
    image = raw.Build(0x200);
    Put64(&image, 32 + 32, 0x100000000ull);
    QTest::newRow("vmsize of 4 GiB") << image << "overflow" << 0;
    image = raw.Build(0x200);
    Put64(&image, 32 + 48, 0x201);
    QTest::newRow("segment past the end") << image << "segment too large" << 0;
    image = raw.Build(0x200);
    Put32(&image, 32 + 64, 2);
    QTest::newRow("sections past the command") << image << "sections too small" << 0;
    image = raw.Build(0x200);
    Put64(&image, 32 + 72 + 40, 0x1001);
    QTest::newRow("code section larger than segment") << image << "section larger than segment" << 0;
    image = raw.Build(0x200);
    Put32(&image, 32 + 72 + 64, 0);
    QTest::newRow("only data sections") << image << "Resource-only executables are not yet supported" << 0;
    raw = Image();
    raw.Segment("__TEXT", 0xFFFFF000, 0x1000, 0, 0x100, {{"__text", 0xFFFFF000, 0x10, 0, kCode}});
    raw.Segment("__DATA", 0, 0x1000, 0, 0x100, {{"__data", 0, 0x10, 0, 0}});
    image = raw.Build(0x200);
    Put64(&image, 32 + 24, 0x100000000ull); // __TEXT ends past 4 GiB above __DATA
    Put64(&image, 32 + 72 + 32, 0x100000000ull);
    QTest::newRow("segments more than 4 GiB apart") << image << "overflow" << 0;
}

void TestDisassemblerMacho::headerChecks()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, reason);
    QFETCH(int, kind);
    DisassemblerMacho disassembler(Data(image), size_t(image.size()));
    QCOMPARE(disassembler.ParseImageHeader(), reason.isEmpty());
    QCOMPARE(QString::fromLatin1(disassembler.failure_reason()), reason);
    if (reason.isEmpty()) {
        QCOMPARE(disassembler.ImageKind(), kind);
        QCOMPARE(DetectExecutableType(Data(image), size_t(image.size())), kind);
    } else {
        std::unique_ptr<LabeledProgram> program;
        QCOMPARE(ParseDetectedExecutable(Data(image), size_t(image.size()), &program), PATCH_NOT_EXECUTABLE);
    }
}

void TestDisassemblerMacho::branchScan_data()
{
    QTest::addColumn<bool>("is64");
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QStringList>("references");
    for (bool is64 : {true, false}) {
        const auto name = [&](const char *what) { return QByteArray(what) + (is64 ? " (64)" : " (32)"); };
        // RVAs are relative to __TEXT (64-bit: __PAGEZERO has no sections and does not count;
        // 32-bit: __PAGEZERO counts, at address 0, so RVAs are the addresses).
        const QString code = is64 ? QStringLiteral("0x200") : QStringLiteral("0x1200");
        const uint32_t rva = is64 ? 0x201 : 0x1201;
        QTest::newRow(name("call")) << is64 << Hex("E80B000000")
                                    << QStringList{
                                           QStringLiteral("rel32 @0x%1 -> 0x%2").arg(rva, 0, 16).arg(rva + 0xF, 0, 16)};
        QTest::newRow(name("call into __DATA"))
            << is64 << Hex("E8FB0D0000")
            << QStringList{QStringLiteral("rel32 @0x%1 -> 0x%2").arg(rva, 0, 16).arg(rva + 0xDFF, 0, 16)};
        QTest::newRow(name("jp is never a reference")) << is64 << Hex("0F8A0A00000090") << QStringList{};
        QTest::newRow(name("call with 4 bytes left")) << is64 << Hex("E80B0000") << QStringList{};
        Q_UNUSED(code);
    }
    // __DATA ends at RVA 0x2000 (64-bit): a target there is outside every segment.
    QTest::newRow("call past the last segment (64)") << true << Hex("E8FB1D0000") << QStringList{};
    QTest::newRow("call to the last byte of __DATA (64)")
        << true << Hex("E8FA1D0000") << QStringList{"rel32 @0x201 -> 0x1fff"};
    QTest::newRow("lea rip (64)") << true << Hex("488D0509000000") << QStringList{"rel32 @0x203 -> 0x210"};
    QTest::newRow("lea rip is plain bytes (32)") << false << Hex("488D0509000000") << QStringList{};
    QTest::newRow("call indirect rip (64)") << true << Hex("FF150A00000090") << QStringList{"rel32 @0x202 -> 0x210"};
    QTest::newRow("call indirect rip is plain bytes (32)") << false << Hex("FF150A00000090") << QStringList{};
}

void TestDisassemblerMacho::branchScan()
{
    QFETCH(bool, is64);
    QFETCH(QByteArray, code);
    QFETCH(QStringList, references);
    const QByteArray image = Typical(is64, code);
    std::unique_ptr<LabeledProgram> program;
    QCOMPARE(ParseDetectedExecutable(Data(image), size_t(image.size()), &program), PATCH_OK);
    QCOMPARE(References(Describe(*program)), references);
}

void TestDisassemblerMacho::programFieldByField()
{
    const QByteArray image = Typical(true, Hex("E80B000000C3"), 0x40);
    std::unique_ptr<LabeledProgram> program;
    QCOMPARE(ParseDetectedExecutable(Data(image), size_t(image.size()), &program), PATCH_OK);
    QCOMPARE(program->kind(), int(MACHO_X64));
    QCOMPARE(program->image_base(), uint64_t(0));
    // The bytes after the code section are emitted up to the end of __DATA; the 0x40 bytes
    // after it are not part of the image.
    QCOMPARE(Describe(*program),
             (QStringList{"bytes 512", "origin 0x200", "bytes 1", "rel32 @0x201 -> 0x210", "bytes 3835"}));
    QVERIFY(program->TrimLabels());
    std::unique_ptr<EncodedProgram> encoded;
    QVERIFY(program->Encode(&encoded));
    const auto values = [](const U32Vector &v) { return std::vector<uint32_t>(v.data(), v.data() + v.size()); };
    QCOMPARE(values(encoded->ops()), (std::vector<uint32_t>{1, 0, 2, 3, 1}));
    QCOMPARE(values(encoded->copy_counts()), (std::vector<uint32_t>{512, 3835}));
    QCOMPARE(values(encoded->rel32_rvas()), std::vector<uint32_t>{0x210});
    WriteStream out;
    QCOMPARE(AssembleEncodedProgram(encoded.get(), &out), PATCH_OK);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(out.Data()), int(out.Length())), image.left(0x1100));
}

QTEST_APPLESS_MAIN(TestDisassemblerMacho)
#include "tst_disassembler_macho.moc"
