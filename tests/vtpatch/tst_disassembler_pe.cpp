// PE disassembly (PE32 and PE32+): the header checks with their reasons, the base relocation
// walk and its failures, the branch scan of ".text" (patterns, look-ahead, targets in other
// sections, operands overlapping relocated pointers) and the relocation table marker. Images
// are written byte by byte: .text at file offset 0x200 / RVA 0x1000, .data at 0x300 / 0x2000,
// .reloc at 0x400 / 0x3000, 0x100 raw bytes each.
#include <QtTest>

#include <memory>
#include <vector>

#include "disassembly_helpers.h"
#include "lib/disassembler.h"
#include "lib/disassembler_win32.h"
#include "lib/encoded_program.h"
#include "lib/labeled_program.h"
#include "lib/streams.h"

using namespace vtpatch;
using namespace disassembly_test;

Q_DECLARE_METATYPE(std::vector<uint32_t>)

namespace {

constexpr int kPe = 0x80;
constexpr int kOptional = kPe + 24;
constexpr uint32_t kBase32 = 0x400000;
constexpr uint64_t kBase64 = 0x140000000ull;

int SectionTable(bool x64)
{
    return kOptional + (x64 ? 240 : 224);
}

void PutSection(QByteArray *image, bool x64, int index, const char *name, uint32_t rva, uint32_t raw)
{
    const int at = SectionTable(x64) + 40 * index;
    QByteArray padded(name);
    padded.append(QByteArray(8 - padded.size(), '\0'));
    PutBytes(image, at, padded);
    Put32(image, at + 8, 0x100);  // VirtualSize
    Put32(image, at + 12, rva);   // VirtualAddress
    Put32(image, at + 16, 0x100); // SizeOfRawData
    Put32(image, at + 20, raw);   // PointerToRawData
}

// A base relocation block for `page` with the given entries (padded to a multiple of 4).
QByteArray RelocBlock(uint32_t page, std::vector<uint16_t> entries)
{
    if (entries.size() % 2 != 0)
        entries.push_back(0);
    QByteArray block;
    Put32(&block, 0, page);
    Put32(&block, 4, uint32_t(8 + 2 * entries.size()));
    for (size_t i = 0; i < entries.size(); ++i)
        Put16(&block, 8 + 2 * int(i), entries[i]);
    return block;
}

QByteArray Pe(bool x64, const QByteArray &text, const QByteArray &data, const QByteArray &relocs)
{
    QByteArray image;
    Grow(&image, 0x500);
    image[0] = 'M';
    image[1] = 'Z';
    Put32(&image, 60, kPe);
    PutBytes(&image, kPe, QByteArray("PE\0\0", 4));
    Put16(&image, kPe + 4, x64 ? 0x8664 : 0x14C);
    Put16(&image, kPe + 6, 3);
    Put16(&image, kPe + 20, x64 ? 240 : 224);
    Put16(&image, kOptional, x64 ? 0x20B : 0x10B);
    if (x64)
        Put64(&image, kOptional + 24, kBase64);
    else
        Put32(&image, kOptional + 28, kBase32);
    Put32(&image, kOptional + 56, 0x4000); // SizeOfImage
    const int directories = kOptional + (x64 ? 112 : 96);
    Put32(&image, directories - 4, 16); // NumberOfRvaAndSizes
    if (!relocs.isEmpty()) {
        Put32(&image, directories + 8 * 5, 0x3000);
        Put32(&image, directories + 8 * 5 + 4, uint32_t(relocs.size()));
    }
    PutSection(&image, x64, 0, ".text", 0x1000, 0x200);
    PutSection(&image, x64, 1, ".data", 0x2000, 0x300);
    PutSection(&image, x64, 2, ".reloc", 0x3000, 0x400);
    PutBytes(&image, 0x200, text);
    PutBytes(&image, 0x300, data);
    PutBytes(&image, 0x400, relocs);
    return image;
}

std::unique_ptr<DisassemblerWin32> Make(bool x64, const QByteArray &image)
{
    if (x64)
        return std::unique_ptr<DisassemblerWin32>(new DisassemblerWin32X64(Data(image), size_t(image.size())));
    return std::unique_ptr<DisassemblerWin32>(new DisassemblerWin32X86(Data(image), size_t(image.size())));
}

QByteArray Hex(const char *hex)
{
    return QByteArray::fromHex(hex);
}

} // namespace

class TestDisassemblerPe : public QObject {
    Q_OBJECT

private slots:
    void headerChecks_data();
    void headerChecks();
    void relocationWalk_data();
    void relocationWalk();
    void branchScan_data();
    void branchScan();
    void programFieldByField();
    void dir64RoundTrip();
};

void TestDisassemblerPe::headerChecks_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("x64");
    QTest::addColumn<QString>("reason");
    const QByteArray pe32 = Pe(false, Hex("C3"), QByteArray(), QByteArray());
    const QByteArray pe64 = Pe(true, Hex("C3"), QByteArray(), QByteArray());
    QTest::newRow("PE32 accepted") << pe32 << false << QString();
    QTest::newRow("PE32+ accepted") << pe64 << true << QString();
    QTest::newRow("63 bytes") << pe32.left(63) << false << "Too small";
    QByteArray image = pe32;
    image[1] = 'X';
    QTest::newRow("not MZ") << image << false << "Not MZ";
    image = pe32;
    Put32(&image, 60, 0);
    QTest::newRow("e_lfanew 0") << image << false << "Bad offset to PE header";
    image = pe32;
    Put32(&image, 60, uint32_t(image.size()) - 24);
    QTest::newRow("e_lfanew too close to the end") << image << false << "Bad offset to PE header";
    image = pe32;
    Put32(&image, 60, 0x84);
    QTest::newRow("e_lfanew 0x84") << image << false << "Misaligned PE header";
    image = pe32;
    image[kPe + 1] = 'F';
    QTest::newRow("signature") << image << false << "no PE signature";
    image = pe32;
    Put16(&image, kPe + 20, 0x1000);
    QTest::newRow("optional header past end") << image << false << "optional header past end of file";
    image = pe32;
    Put16(&image, kPe + 20, 1);
    QTest::newRow("optional header of 1 byte") << image << false << "optional header no magic";
    image = pe32;
    Put16(&image, kOptional, 0x107);
    QTest::newRow("ROM magic") << image << false << "unrecognized magic";
    image = pe32;
    Put16(&image, kPe + 20, 95);
    QTest::newRow("PE32 optional header of 95 bytes") << image << false << "optional header too short";
    image = pe64;
    Put16(&image, kPe + 20, 111);
    QTest::newRow("PE32+ optional header of 111 bytes") << image << true << "optional header too short";
    image = pe32;
    Put32(&image, kOptional + 96 + 8 * 2 + 4, 0x4001); // resource directory larger than the image
    QTest::newRow("directory larger than image") << image << false << "malformed data directory";
    image = pe32;
    Put32(&image, kOptional + 96 + 8 * 4 + 4, 0x4001); // directory 4 is not examined
    QTest::newRow("unexamined directory") << image << false << QString();
    image = pe32;
    Put16(&image, kPe + 6, 40);
    QTest::newRow("section table past end") << image << false << "section table past end of file";
    QTest::newRow("PE32+ in the x86 disassembler")
        << pe64 << false << "64 bit executables are not supported by this disassembler";
    QTest::newRow("PE32 in the x64 disassembler")
        << pe32 << true << "32 bit executables are not supported by this disassembler";
    image = pe32;
    PutBytes(&image, SectionTable(false), QByteArray(".code\0\0\0", 8));
    QTest::newRow("no .text") << image << false << "Resource-only executables are not yet supported";
    image = pe32;
    PutBytes(&image, SectionTable(false), QByteArray(".textbss", 8));
    QTest::newRow(".textbss is not .text") << image << false << "Resource-only executables are not yet supported";
}

void TestDisassemblerPe::headerChecks()
{
    QFETCH(QByteArray, image);
    QFETCH(bool, x64);
    QFETCH(QString, reason);
    std::unique_ptr<DisassemblerWin32> disassembler = Make(x64, image);
    QCOMPARE(disassembler->ParseImageHeader(), reason.isEmpty());
    QCOMPARE(QString::fromLatin1(disassembler->failure_reason()), reason);
    if (reason.isEmpty()) {
        QCOMPARE(disassembler->length(), size_t(0x500)); // the end of the last section's raw data
        QCOMPARE(DetectExecutableType(Data(image), size_t(image.size())), x64 ? int(WIN_32_X64) : int(WIN_32_X86));
    }
}

void TestDisassemblerPe::relocationWalk_data()
{
    QTest::addColumn<bool>("x64");
    QTest::addColumn<QByteArray>("relocs");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<std::vector<uint32_t>>("pointers");
    QTest::newRow("two blocks, sorted") << false
                                        << (RelocBlock(0x2000, {0x3008, 0x3000}) + RelocBlock(0x1000, {0x3010}))
                                        << QString() << std::vector<uint32_t>{0x1010, 0x2000, 0x2008};
    QTest::newRow("padding entries are skipped")
        << false << RelocBlock(0x2000, {0x0000, 0x3004, 0x0000}) << QString() << std::vector<uint32_t>{0x2004};
    QTest::newRow("DIR64 in PE32+") << true << RelocBlock(0x2000, {0xA010}) << QString()
                                    << std::vector<uint32_t>{0x2010};
    QTest::newRow("DIR64 in PE32") << false << RelocBlock(0x2000, {0xA010}) << "unknown type of reloc"
                                   << std::vector<uint32_t>{};
    QTest::newRow("HIGHLOW in PE32+") << true << RelocBlock(0x2000, {0x3010}) << "unknown type of reloc"
                                      << std::vector<uint32_t>{};
    QByteArray block = RelocBlock(0x2000, {0x3010, 0x3014});
    Put32(&block, 4, 10);
    QTest::newRow("block size 10") << false << block << "unreasonable relocs block" << std::vector<uint32_t>{};
    block = RelocBlock(0x2000, {0x3010, 0x3014});
    Put32(&block, 4, 4);
    QTest::newRow("block size 4") << false << block << "unreasonable relocs block" << std::vector<uint32_t>{};
    block = RelocBlock(0x2000, {0x3010, 0x3014});
    Put32(&block, 4, 0x1000);
    QTest::newRow("block past the image") << false << block << ".relocs block outside image" << std::vector<uint32_t>{};
    // A directory of 8 bytes or less holds no block at all.
    QTest::newRow("directory of 8 bytes")
        << false << RelocBlock(0x2000, {}).left(8) << QString() << std::vector<uint32_t>{};
}

void TestDisassemblerPe::relocationWalk()
{
    QFETCH(bool, x64);
    QFETCH(QByteArray, relocs);
    QFETCH(QString, reason);
    QFETCH(std::vector<uint32_t>, pointers);
    const QByteArray image = Pe(x64, Hex("C3"), QByteArray(0x20, '\0'), relocs);
    std::unique_ptr<DisassemblerWin32> disassembler = Make(x64, image);
    QVERIFY(disassembler->ParseImageHeader());
    LabeledProgram program(disassembler->ImageKind());
    QCOMPARE(disassembler->DisassembleInto(&program), reason.isEmpty());
    if (!reason.isEmpty()) {
        QCOMPARE(QString::fromLatin1(disassembler->failure_reason()), reason);
        std::unique_ptr<LabeledProgram> detected;
        QCOMPARE(ParseDetectedExecutable(Data(image), size_t(image.size()), &detected), PATCH_DISASSEMBLY_ERROR);
        return;
    }
    QCOMPARE(disassembler->abs32_rvas(), pointers);
}

void TestDisassemblerPe::branchScan_data()
{
    QTest::addColumn<bool>("x64");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("relocs");
    QTest::addColumn<QStringList>("references");
    const QByteArray none;
    for (bool x64 : {false, true}) {
        const char *suffix = x64 ? " (x64)" : " (x86)";
        const auto name = [&](const char *what) { return QByteArray(what) + suffix; };
        QTest::newRow(name("call inside .text"))
            << x64 << Hex("E80B000000") << none << QStringList{"rel32 @0x1001 -> 0x1010"};
        QTest::newRow(name("jne inside .text"))
            << x64 << Hex("0F850A00000090") << none << QStringList{"rel32 @0x1002 -> 0x1010"};
        QTest::newRow(name("jp is never a reference")) << x64 << Hex("0F8A0A00000090") << none << QStringList{};
        QTest::newRow(name("call into .data is not a reference")) << x64 << Hex("E8FB0F0000") << none << QStringList{};
        // The last bytes of .text: a call with 5 bytes left is a candidate, with 4 it is not.
        QByteArray tail(0x100, '\x90');
        PutBytes(&tail, 0xFB, Hex("E810FFFFFF"));
        QTest::newRow(name("call in the last 5 bytes"))
            << x64 << tail << none << QStringList{"rel32 @0x10fc -> 0x1010"};
        tail.fill('\x90');
        PutBytes(&tail, 0xFC, Hex("E810FFFF"));
        QTest::newRow(name("call in the last 4 bytes")) << x64 << tail << none << QStringList{};
    }
    QTest::newRow("RIP lea into .data (x64)")
        << true << Hex("488D05F90F0000") << none << QStringList{"rel32 @0x1003 -> 0x2000"};
    QTest::newRow("RIP lea is plain in PE32") << false << Hex("488D05F90F0000") << none << QStringList{};
    QTest::newRow("RIP call past SizeOfImage (x64)") << true << Hex("FF15FA2F000090") << none << QStringList{};
    QTest::newRow("RIP call below SizeOfImage (x64)")
        << true << Hex("FF15F92F000090") << none << QStringList{"rel32 @0x1002 -> 0x3fff"};
    // A call whose operand overlaps the relocated pointer at 0x1004 is skipped; the scan goes on
    // right after the pointer.
    QByteArray text = Hex("E8000000000000000000E803000000");
    Put32(&text, 4, kBase32 + 0x2000);
    QTest::newRow("operand overlapping a pointer")
        << false << text << RelocBlock(0x1000, {0x3004})
        << QStringList{"abs32 @0x1004 -> 0x2000", "rel32 @0x100b -> 0x1012", "pe-relocs"};
}

void TestDisassemblerPe::branchScan()
{
    QFETCH(bool, x64);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, relocs);
    QFETCH(QStringList, references);
    const QByteArray image = Pe(x64, text, QByteArray(), relocs);
    std::unique_ptr<DisassemblerWin32> disassembler = Make(x64, image);
    QVERIFY(disassembler->ParseImageHeader());
    LabeledProgram program(disassembler->ImageKind());
    QVERIFY(disassembler->DisassembleInto(&program));
    QCOMPARE(References(Describe(program)), references);
}

void TestDisassemblerPe::programFieldByField()
{
    // .text: call 0x1010 and a pointer to .data; .data: a pointer to .text; the relocation table
    // is laid out exactly as assembly writes one, so the image comes back byte for byte.
    QByteArray text = Hex("E80B000000C7050000000000000000");
    Put32(&text, 7, kBase32 + 0x2000);
    QByteArray data;
    Put32(&data, 8, kBase32 + 0x1000);
    const QByteArray relocs = RelocBlock(0x1000, {0x3007}) + RelocBlock(0x2000, {0x3008});
    const QByteArray image = Pe(false, text, data, relocs);

    std::unique_ptr<LabeledProgram> program;
    QCOMPARE(ParseDetectedExecutable(Data(image), size_t(image.size()), &program), PATCH_OK);
    QCOMPARE(program->kind(), int(WIN_32_X86));
    QCOMPARE(program->image_base(), uint64_t(kBase32));
    QCOMPARE(Describe(*program),
             (QStringList{"bytes 512", "origin 0x1000", "bytes 1", "rel32 @0x1001 -> 0x1010", "bytes 2",
                          "abs32 @0x1007 -> 0x2000", "bytes 245", "origin 0x2000", "bytes 8", "abs32 @0x2008 -> 0x1000",
                          "bytes 244", "origin 0x3000", "pe-relocs", "bytes 232"}));
    QVERIFY(program->TrimLabels());
    std::unique_ptr<EncodedProgram> encoded;
    QVERIFY(program->Encode(&encoded));
    const auto values = [](const U32Vector &v) { return std::vector<uint32_t>(v.data(), v.data() + v.size()); };
    QCOMPARE(values(encoded->ops()), (std::vector<uint32_t>{1, 0, 2, 3, 1, 4, 1, 0, 1, 4, 1, 0, 5, 1}));
    QCOMPARE(values(encoded->origins()), (std::vector<uint32_t>{0x1000, 0x2000, 0x3000}));
    QCOMPARE(values(encoded->copy_counts()), (std::vector<uint32_t>{512, 2, 245, 8, 244, 232}));
    QCOMPARE(values(encoded->abs32_rvas()), (std::vector<uint32_t>{0x1000, 0x2000}));
    QCOMPARE(values(encoded->abs32_ix()), (std::vector<uint32_t>{1, 0}));
    QCOMPARE(values(encoded->rel32_rvas()), std::vector<uint32_t>{0x1010});
    QCOMPARE(encoded->image_base(), uint64_t(kBase32));

    PatchStatus status = PATCH_OK;
    QCOMPARE(RoundTrip(image, &status), image);
    QCOMPARE(status, PATCH_OK);
}

void TestDisassemblerPe::dir64RoundTrip()
{
    // PE32+ pointers are 8 bytes; the low four are the reference, the high four stay bytes.
    QByteArray data;
    Put64(&data, 0x10, kBase64 + 0x1000);
    const QByteArray image = Pe(true, Hex("488D05F90F0000C3"), data, RelocBlock(0x2000, {0xA010}));
    std::unique_ptr<LabeledProgram> program;
    QCOMPARE(ParseDetectedExecutable(Data(image), size_t(image.size()), &program), PATCH_OK);
    QCOMPARE(References(Describe(*program)),
             (QStringList{"rel32 @0x1003 -> 0x2000", "abs32 @0x2010 -> 0x1000", "pe-relocs"}));
    std::unique_ptr<EncodedProgram> encoded;
    QVERIFY(program->Encode(&encoded));
    QCOMPARE(encoded->ops()[encoded->ops().size() - 2], 8u);
    PatchStatus status = PATCH_OK;
    QCOMPARE(RoundTrip(image, &status), image);
    QCOMPARE(status, PATCH_OK);
}

QTEST_APPLESS_MAIN(TestDisassemblerPe)
#include "tst_disassembler_pe.moc"
