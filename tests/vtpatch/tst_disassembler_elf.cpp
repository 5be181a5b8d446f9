// ELF disassembly (x86, x86-64, ARM with Thumb and Thumb-2): the header checks with their
// reasons, the branch scanners' patterns and look-ahead bounds, the target test, absolute
// pointers from REL sections with their table markers, and the emission bounds near pointers
// and section ends. Images are written byte by byte here; the real fixtures are covered by
// tst_disassembler.
#include <QtTest>

#include <memory>
#include <vector>

#include "disassembly_helpers.h"
#include "lib/disassembler.h"
#include "lib/disassembler_elf32_arm.h"
#include "lib/disassembler_elf32_x86.h"
#include "lib/disassembler_elf64_x64.h"
#include "lib/encoded_program.h"
#include "lib/labeled_program.h"
#include "lib/logging.h"
#include "lib/streams.h"

using namespace vtpatch;
using namespace disassembly_test;

namespace {

struct Sec {
    uint32_t type;
    uint32_t addr;
    uint32_t offset;
    uint32_t size;
    uint32_t entsize;
};
struct Seg {
    uint32_t type;
    uint32_t offset;
    uint32_t vaddr;
    uint32_t filesz;
    uint32_t memsz;
};

constexpr uint16_t kX86 = 3;
constexpr uint16_t kArm = 40;
constexpr uint16_t kX64 = 62;
constexpr int kImageSize = 0x400;
constexpr uint32_t kText = 0x200; // file offset and address of the test code

// An ELF image of kImageSize bytes: header at 0, program headers at 0x40, section headers
// after them, the given contents wherever the caller put them (from 0x200 on).
QByteArray Elf(bool is64, uint16_t machine, QByteArray contents, const std::vector<Sec> &sections,
               const std::vector<Seg> &segments)
{
    QByteArray image = contents;
    Grow(&image, kImageSize);
    PutBytes(&image, 0, QByteArray::fromHex("7F454C46"));
    image[4] = is64 ? 2 : 1;
    image[5] = 1;
    image[6] = 1;
    Put16(&image, 16, 2);
    Put16(&image, 18, machine);
    Put32(&image, 20, 1);
    const int phoff = 0x40;
    const int phsize = is64 ? 56 : 32;
    const int shsize = is64 ? 64 : 40;
    const int shoff = phoff + phsize * int(segments.size());
    if (is64) {
        Put64(&image, 32, phoff);
        Put64(&image, 40, shoff);
        Put16(&image, 52, 64);
        Put16(&image, 54, phsize);
        Put16(&image, 56, segments.size());
        Put16(&image, 58, shsize);
        Put16(&image, 60, sections.size());
    } else {
        Put32(&image, 28, phoff);
        Put32(&image, 32, shoff);
        Put16(&image, 40, 52);
        Put16(&image, 42, phsize);
        Put16(&image, 44, segments.size());
        Put16(&image, 46, shsize);
        Put16(&image, 48, sections.size());
    }
    for (size_t i = 0; i < segments.size(); ++i) {
        const Seg &g = segments[i];
        const int at = phoff + phsize * int(i);
        Put32(&image, at, g.type);
        if (is64) {
            Put64(&image, at + 8, g.offset);
            Put64(&image, at + 16, g.vaddr);
            Put64(&image, at + 32, g.filesz);
            Put64(&image, at + 40, g.memsz);
        } else {
            Put32(&image, at + 4, g.offset);
            Put32(&image, at + 8, g.vaddr);
            Put32(&image, at + 16, g.filesz);
            Put32(&image, at + 20, g.memsz);
        }
    }
    for (size_t i = 0; i < sections.size(); ++i) {
        const Sec &s = sections[i];
        const int at = shoff + shsize * int(i);
        Put32(&image, at + 4, s.type);
        if (is64) {
            Put64(&image, at + 16, s.addr);
            Put64(&image, at + 24, s.offset);
            Put64(&image, at + 32, s.size);
            Put64(&image, at + 56, s.entsize);
        } else {
            Put32(&image, at + 12, s.addr);
            Put32(&image, at + 16, s.offset);
            Put32(&image, at + 20, s.size);
            Put32(&image, at + 36, s.entsize);
        }
    }
    return image;
}

// The whole image is one loadable segment mapped at address = file offset.
const std::vector<Seg> kIdentity = {{1, 0, 0, kImageSize, kImageSize}};

// Code at 0x200 as the only PROGBITS section.
QByteArray TextImage(bool is64, uint16_t machine, const QByteArray &code)
{
    QByteArray contents;
    PutBytes(&contents, kText, code);
    return Elf(is64, machine, contents, {{1, kText, kText, uint32_t(code.size()), 0}}, kIdentity);
}

template <typename D> std::unique_ptr<LabeledProgram> Disassemble(const QByteArray &image, bool *ok)
{
    D disassembler(Data(image), size_t(image.size()));
    *ok = false;
    if (!disassembler.ParseImageHeader())
        return nullptr;
    std::unique_ptr<LabeledProgram> program(new LabeledProgram(disassembler.ImageKind()));
    *ok = disassembler.DisassembleInto(program.get());
    return program;
}

template <typename D> QStringList ReferencesOf(const QByteArray &image)
{
    bool ok = false;
    std::unique_ptr<LabeledProgram> program = Disassemble<D>(image, &ok);
    if (!ok)
        return {QStringLiteral("failed")};
    return References(Describe(*program));
}

QByteArray Hex(const char *hex)
{
    return QByteArray::fromHex(hex);
}

// A REL entry.
QByteArray Rel(uint32_t offset, uint32_t info)
{
    QByteArray entry;
    Put32(&entry, 0, offset);
    Put32(&entry, 4, info);
    return entry;
}

// Code at 0x200 (0x20 bytes), data with two pointers at 0x220 and 0x224 (0x10 bytes), and a
// REL section at 0x240 holding `relocs`.
QByteArray ImageWithRelocs(uint16_t machine, const QByteArray &code, const QByteArray &relocs)
{
    QByteArray contents;
    PutBytes(&contents, 0x200, code);
    Put32(&contents, 0x220, 0x200);
    Put32(&contents, 0x224, 0x204);
    PutBytes(&contents, 0x240, relocs);
    return Elf(false, machine, contents,
               {{1, 0x200, 0x200, 0x20, 0}, {1, 0x220, 0x220, 0x10, 0}, {9, 0x240, 0x240, uint32_t(relocs.size()), 8}},
               kIdentity);
}

} // namespace

class TestDisassemblerElf : public QObject {
    Q_OBJECT

private slots:
    void headerChecks_data();
    void headerChecks();
    void lengthIsReducedToTheLastSection();
    void x86Scanner_data();
    void x86Scanner();
    void x64Scanner_data();
    void x64Scanner();
    void armScanner_data();
    void armScanner();
    void armTrimmingThreshold_data();
    void armTrimmingThreshold();
    void relRelocationsBecomeMarker_data();
    void relRelocationsBecomeMarker();
    void referencesStopBeforePointers_data();
    void referencesStopBeforePointers();
    void x86ProgramFieldByField();
    void armMismatchDropsEntries();
    void pointerOutsideEverySegmentIsIgnored();
    void sectionOutsideImageFails();
    void pointerInUnrecognisedSectionIsLogged();
    void pointerNotConsumedFails();
};

void TestDisassemblerElf::headerChecks_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("machine");
    QTest::addColumn<QString>("reason");
    const QByteArray good = TextImage(false, kX86, Hex("90"));
    QTest::newRow("accepted") << good << int(kX86) << QString();
    QTest::newRow("51 bytes") << good.left(51) << int(kX86) << "Too small";
    QByteArray image = good;
    image[1] = 'e';
    QTest::newRow("magic") << image << int(kX86) << "No Magic Number";
    image = good;
    Put16(&image, 16, 1);
    QTest::newRow("relocatable") << image << int(kX86) << "Not an executable file or shared library";
    image = good;
    Put16(&image, 16, 3);
    QTest::newRow("shared object") << image << int(kX86) << QString();
    QTest::newRow("x86 image, ARM disassembler") << good << int(kArm) << "Not a supported architecture";
    image = good;
    Put32(&image, 20, 2);
    QTest::newRow("version") << image << int(kX86) << "Unknown file version";
    image = good;
    Put16(&image, 46, 44);
    QTest::newRow("section header size") << image << int(kX86) << "Unexpected section header size";
    image = good;
    Put32(&image, 32, kImageSize);
    QTest::newRow("section table offset") << image << int(kX86) << "Out of bounds section header table offset";
    image = good;
    Put32(&image, 32, kImageSize - 39);
    QTest::newRow("section table") << image << int(kX86) << "Out of bounds section header table";
    image = good;
    Put32(&image, 28, kImageSize);
    QTest::newRow("program table offset") << image << int(kX86) << "Out of bounds program header table offset";
    image = good;
    Put32(&image, 28, kImageSize - 31);
    QTest::newRow("program table") << image << int(kX86) << "Out of bounds program header table";
    // The class byte is not examined: a 64-bit class byte in a 32-bit layout is still ELF32.
    image = good;
    image[4] = 2;
    QTest::newRow("class byte ignored") << image << int(kX86) << QString();
    QTest::newRow("x86-64 image, x86-64 disassembler") << TextImage(true, kX64, Hex("90")) << int(kX64) << QString();
    QTest::newRow("63 bytes for ELF64") << TextImage(true, kX64, Hex("90")).left(63) << int(kX64) << "Too small";
}

void TestDisassemblerElf::headerChecks()
{
    QFETCH(QByteArray, image);
    QFETCH(int, machine);
    QFETCH(QString, reason);
    std::unique_ptr<Disassembler> disassembler;
    if (machine == kX86)
        disassembler.reset(new DisassemblerElf32X86(Data(image), size_t(image.size())));
    else if (machine == kArm)
        disassembler.reset(new DisassemblerElf32ARM(Data(image), size_t(image.size())));
    else
        disassembler.reset(new DisassemblerElf64X64(Data(image), size_t(image.size())));
    QCOMPARE(QString::fromLatin1(disassembler->failure_reason()), QStringLiteral("uninitialized"));
    const bool accepted = disassembler->ParseImageHeader();
    QCOMPARE(accepted, reason.isEmpty());
    QCOMPARE(QString::fromLatin1(disassembler->failure_reason()), reason);
}

void TestDisassemblerElf::lengthIsReducedToTheLastSection()
{
    QByteArray contents;
    PutBytes(&contents, 0x200, Hex("90909090"));
    // No segments; the image is followed by 0x100 bytes that no header covers.
    const QByteArray image = Elf(false, kX86, contents, {{1, 0x200, 0x200, 4, 0}, {8, 0x300, 0x204, 0x1000, 0}}, {});
    DisassemblerElf32X86 disassembler(Data(image), size_t(image.size()));
    QVERIFY(disassembler.ParseImageHeader());
    QCOMPARE(disassembler.length(), size_t(0x204)); // NOBITS sizes do not count
    LabeledProgram program(disassembler.ImageKind());
    QVERIFY(disassembler.DisassembleInto(&program));
    QCOMPARE(Describe(program), (QStringList{"bytes 512", "origin 0x200", "bytes 4"}));
}

void TestDisassemblerElf::x86Scanner_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QStringList>("references");
    QTest::newRow("call") << Hex("E80B000000") << QStringList{"rel32 @0x201 -> 0x210"};
    QTest::newRow("jmp") << Hex("90E90A000000") << QStringList{"rel32 @0x202 -> 0x210"};
    QTest::newRow("jne rel32") << Hex("0F850A00000090") << QStringList{"rel32 @0x202 -> 0x210"};
    QTest::newRow("jo rel32") << Hex("0F800A00000090") << QStringList{"rel32 @0x202 -> 0x210"};
    QTest::newRow("jp rel32 is never a reference") << Hex("0F8A0A00000090") << QStringList{};
    QTest::newRow("jnp rel32 is never a reference") << Hex("0F8B0A00000090") << QStringList{};
    QTest::newRow("call with exactly 5 bytes left") << Hex("E80B000000") << QStringList{"rel32 @0x201 -> 0x210"};
    QTest::newRow("jne with only 5 bytes left") << Hex("0F850A0000") << QStringList{};
    QTest::newRow("backward call") << Hex("9090E8F9FFFFFF") << QStringList{"rel32 @0x203 -> 0x200"};
    // The first operand points past the segment; the scan resumes one byte on and finds the
    // call that starts inside the rejected operand.
    QTest::newRow("rejected target, scan resumes at next byte")
        << Hex("E8E81000000000") << QStringList{"rel32 @0x202 -> 0x216"};
    QTest::newRow("target at the segment end is outside") << Hex("E8FB010000") << QStringList{};
    QTest::newRow("target at the last segment byte") << Hex("E8FA010000") << QStringList{"rel32 @0x201 -> 0x3ff"};
    QTest::newRow("operand bytes are not scanned again") << Hex("E8E8000000") << QStringList{"rel32 @0x201 -> 0x2ed"};
    QTest::newRow("RIP-relative forms are x86-64 only") << Hex("FF15000000004C8D0500000000") << QStringList{};
}

void TestDisassemblerElf::x86Scanner()
{
    QFETCH(QByteArray, code);
    QFETCH(QStringList, references);
    QCOMPARE(ReferencesOf<DisassemblerElf32X86>(TextImage(false, kX86, code)), references);
}

void TestDisassemblerElf::x64Scanner_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QStringList>("references");
    QTest::newRow("call") << Hex("E80B000000") << QStringList{"rel32 @0x201 -> 0x210"};
    QTest::newRow("call indirect RIP") << Hex("FF150A00000090") << QStringList{"rel32 @0x202 -> 0x210"};
    QTest::newRow("jmp indirect RIP") << Hex("FF250A00000090") << QStringList{"rel32 @0x202 -> 0x210"};
    QTest::newRow("lea rax, [rip]") << Hex("488D0509000000") << QStringList{"rel32 @0x203 -> 0x210"};
    QTest::newRow("mov r9, [rip]") << Hex("498B0D09000000") << QStringList{"rel32 @0x203 -> 0x210"};
    QTest::newRow("lea with SIB is not RIP-relative") << Hex("488D0409000000") << QStringList{};
    QTest::newRow("lea with 6 bytes left") << Hex("488D05090000") << QStringList{};
    QTest::newRow("FF 15 with 5 bytes left") << Hex("FF150A0000") << QStringList{};
    QTest::newRow("jp rel32 is never a reference") << Hex("0F8A0A00000090") << QStringList{};
}

void TestDisassemblerElf::x64Scanner()
{
    QFETCH(QByteArray, code);
    QFETCH(QStringList, references);
    QCOMPARE(ReferencesOf<DisassemblerElf64X64>(TextImage(true, kX64, code)), references);
}

void TestDisassemblerElf::armScanner_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QStringList>("references");
    QTest::newRow("Thumb B<c>") << Hex("06D00000") << QStringList{"arm 0x10d0 @0x200 -> 0x210"};
    QTest::newRow("Thumb B") << Hex("06E00000") << QStringList{"arm 0x201c @0x200 -> 0x210"};
    QTest::newRow("Thumb branch needs 3 bytes left") << Hex("000006E0") << QStringList{};
    QTest::newRow("ARM BL") << Hex("020000EB00") << QStringList{"arm 0x30eb @0x200 -> 0x210"};
    QTest::newRow("ARM B needs 5 bytes left") << Hex("020000EA") << QStringList{};
    // A 16-bit Thumb pattern wins over the ARM word starting at the same halfword.
    QTest::newRow("Thumb preferred over ARM") << Hex("06D000EA0000") << QStringList{"arm 0x10d0 @0x200 -> 0x210"};
    // After a halfword without a branch the walk is out of step with ARM words.
    QTest::newRow("ARM word at odd halfword not tried") << Hex("0000020000EB00000000") << QStringList{};
    QTest::newRow("Thumb-2 BL") << Hex("00F006F800") << QStringList{"arm 0x44f7 @0x200 -> 0x210"};
    QTest::newRow("Thumb-2 B<c>.W") << Hex("00F006800000") << QStringList{"arm 0x5000 @0x200 -> 0x210"};
    QTest::newRow("Thumb-2 needs 5 bytes left") << Hex("00F006F8") << QStringList{};
    QTest::newRow("target outside segments") << Hex("FF0F00EA0000") << QStringList{};
}

void TestDisassemblerElf::armScanner()
{
    QFETCH(QByteArray, code);
    QFETCH(QStringList, references);
    QCOMPARE(ReferencesOf<DisassemblerElf32ARM>(TextImage(false, kArm, code)), references);
}

void TestDisassemblerElf::armTrimmingThreshold_data()
{
    QTest::addColumn<int>("branches");
    QTest::addColumn<int>("keptLabels");
    QTest::newRow("five branches to one place are trimmed") << 5 << 0;
    QTest::newRow("six branches to one place stay") << 6 << 1;
}

void TestDisassemblerElf::armTrimmingThreshold()
{
    QFETCH(int, branches);
    QFETCH(int, keptLabels);
    // Thumb B instructions at 0x200, 0x202, ... all to 0x300, then padding.
    QByteArray code;
    for (int i = 0; i < branches; ++i) {
        const uint32_t from = kText + 2u * uint32_t(i);
        Put16(&code, 2 * i, 0xE000 | (((0x300 - from - 4) >> 1) & 0x7FF));
    }
    Grow(&code, code.size() + 4);
    const QByteArray image = TextImage(false, kArm, code);
    std::unique_ptr<LabeledProgram> program;
    QCOMPARE(ParseDetectedExecutable(Data(image), size_t(image.size()), &program), PATCH_OK);
    QCOMPARE(program->kind(), int(ELF_32_ARM));
    QCOMPARE(program->rel32_labels().size(), size_t(1));
    QVERIFY(program->TrimLabels());
    QCOMPARE(program->rel32_labels().size(), size_t(keptLabels));
    std::unique_ptr<EncodedProgram> encoded;
    QVERIFY(program->Encode(&encoded));
    QCOMPARE(encoded->rel32_ix().size(), size_t(keptLabels ? branches : 0));
    PatchStatus status = PATCH_OK;
    QCOMPARE(RoundTrip(image, &status), image);
    QCOMPARE(status, PATCH_OK);
}

void TestDisassemblerElf::relRelocationsBecomeMarker_data()
{
    QTest::addColumn<int>("machine");
    QTest::addColumn<QByteArray>("relocs");
    QTest::addColumn<QStringList>("references");
    const QStringList pointers{"abs32 @0x220 -> 0x200", "abs32 @0x224 -> 0x204"};
    QTest::newRow("x86 sorted entries") << int(kX86) << (Rel(0x220, 8) + Rel(0x224, 8) + Rel(0x300, 6))
                                        << (pointers + QStringList{"elf-relocs"});
    QTest::newRow("x86 unsorted entries stay bytes") << int(kX86) << (Rel(0x224, 8) + Rel(0x220, 8)) << pointers;
    QTest::newRow("x86 symbol relocations are not pointers")
        << int(kX86) << (Rel(0x220, 0x108) + Rel(0x224, 8)) << QStringList{"abs32 @0x224 -> 0x204"};
    QTest::newRow("ARM entries") << int(kArm) << (Rel(0x220, 23) + Rel(0x224, 23))
                                 << (pointers + QStringList{"elf-arm-relocs"});
    QTest::newRow("ARM leading entries of other types pass")
        << int(kArm) << (Rel(0x228, 2) + Rel(0x220, 23) + Rel(0x224, 23)) << (pointers + QStringList{"elf-arm-relocs"});
    QTest::newRow("x86 relocations in an ARM image") << int(kArm) << (Rel(0x220, 8) + Rel(0x224, 8)) << QStringList{};
}

void TestDisassemblerElf::relRelocationsBecomeMarker()
{
    QFETCH(int, machine);
    QFETCH(QByteArray, relocs);
    QFETCH(QStringList, references);
    const QByteArray image = ImageWithRelocs(uint16_t(machine), Hex("90"), relocs);
    const QStringList found =
        machine == kX86 ? ReferencesOf<DisassemblerElf32X86>(image) : ReferencesOf<DisassemblerElf32ARM>(image);
    QCOMPARE(found, references);
    // Where the table became a marker, assembly regenerates the same entries.
    PatchStatus status = PATCH_OK;
    QCOMPARE(RoundTrip(image, &status), image);
    QCOMPARE(status, PATCH_OK);
}

void TestDisassemblerElf::referencesStopBeforePointers_data()
{
    QTest::addColumn<int>("machine");
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QStringList>("references");
    // A pointer is relocated at 0x210, inside the code.
    const QString pointer = QStringLiteral("abs32 @0x210 -> 0x200");
    QByteArray code(0x20, '\x90');
    PutBytes(&code, 0x0B, Hex("E8F0FFFFFF"));
    QTest::newRow("x86 operand ends right before the pointer")
        << int(kX86) << code << QStringList{"rel32 @0x20c -> 0x200", pointer};
    code.fill('\x90');
    PutBytes(&code, 0x0C, Hex("E8EF"));
    Put32(&code, 0x10, 0x200); // the pointer's low byte is the operand's last byte
    code[0x0E] = 0;
    code[0x0F] = 0;
    QTest::newRow("x86 operand overlapping the pointer stays bytes") << int(kX86) << code << QStringList{pointer};
    code.fill('\0');
    Put16(&code, 0x0C, 0xE000 | ((0x200 - 0x20C - 4) >> 1 & 0x7FF));
    QTest::newRow("Thumb branch four bytes before the pointer")
        << int(kArm) << code << QStringList{"arm 0x201c @0x20c -> 0x200", pointer};
    code.fill('\0');
    Put16(&code, 0x0E, 0xE000 | ((0x200 - 0x20E - 4) >> 1 & 0x7FF));
    QTest::newRow("Thumb branch two bytes before the pointer stays bytes") << int(kArm) << code << QStringList{pointer};
    code.fill('\0');
    Put16(&code, 0x1C, 0xE000 | ((0x200 - 0x21C - 4) >> 1 & 0x7FF));
    QTest::newRow("Thumb branch four bytes before the section end")
        << int(kArm) << code << QStringList{pointer, "arm 0x201c @0x21c -> 0x200"};
}

void TestDisassemblerElf::referencesStopBeforePointers()
{
    QFETCH(int, machine);
    QFETCH(QByteArray, code);
    QFETCH(QStringList, references);
    QByteArray withPointer = code;
    Put32(&withPointer, 0x10, 0x200);
    const uint32_t type = machine == kX86 ? 8 : 23;
    QByteArray contents;
    PutBytes(&contents, 0x200, withPointer);
    PutBytes(&contents, 0x240, Rel(0x210, type));
    const QByteArray image =
        Elf(false, uint16_t(machine), contents, {{1, 0x200, 0x200, 0x20, 0}, {9, 0x240, 0x240, 8, 8}}, kIdentity);
    const QStringList found =
        machine == kX86 ? ReferencesOf<DisassemblerElf32X86>(image) : ReferencesOf<DisassemblerElf32ARM>(image);
    QCOMPARE(found.mid(0, found.size() - 1), references); // the last line is the table marker
    PatchStatus status = PATCH_OK;
    QCOMPARE(RoundTrip(image, &status), image);
}

void TestDisassemblerElf::x86ProgramFieldByField()
{
    // call 0x210 at 0x200, two relocated pointers at 0x220, a REL table of three entries of
    // which the first two are the pointers.
    QByteArray code = Hex("E80B000000");
    const QByteArray image = ImageWithRelocs(kX86, code, Rel(0x220, 8) + Rel(0x224, 8) + Rel(0x300, 6));
    std::unique_ptr<LabeledProgram> program;
    QCOMPARE(ParseDetectedExecutable(Data(image), size_t(image.size()), &program), PATCH_OK);
    QCOMPARE(Describe(*program),
             (QStringList{"bytes 512", "origin 0x200", "bytes 1", "rel32 @0x201 -> 0x210", "bytes 27", "origin 0x220",
                          "abs32 @0x220 -> 0x200", "abs32 @0x224 -> 0x204", "bytes 24", "elf-relocs", "bytes 432"}));
    QVERIFY(program->TrimLabels());
    std::unique_ptr<EncodedProgram> encoded;
    QVERIFY(program->Encode(&encoded));
    QCOMPARE(encoded->image_base(), uint64_t(0));
    const std::vector<uint32_t> ops(encoded->ops().data(), encoded->ops().data() + encoded->ops().size());
    QCOMPARE(ops, (std::vector<uint32_t>{1, 0, 2, 3, 1, 0, 4, 4, 1, 6, 1}));
    const std::vector<uint32_t> counts(encoded->copy_counts().data(),
                                       encoded->copy_counts().data() + encoded->copy_counts().size());
    // The rest of the data section and the gap before the table; the third entry and the tail.
    QCOMPARE(counts, (std::vector<uint32_t>{512, 27, 24, 432}));
    QCOMPARE(std::vector<uint32_t>(encoded->origins().data(), encoded->origins().data() + 2),
             (std::vector<uint32_t>{0x200, 0x220}));
    QCOMPARE(encoded->abs32_rvas().size(), size_t(2));
    QCOMPARE(encoded->abs32_rvas()[0], 0x200u);
    QCOMPARE(encoded->abs32_rvas()[1], 0x204u);
    QCOMPARE(encoded->rel32_rvas().size(), size_t(1));
    QCOMPARE(encoded->rel32_rvas()[0], 0x210u);
    QCOMPARE(encoded->abs32_ix()[0], 0u);
    QCOMPARE(encoded->abs32_ix()[1], 1u);
}

void TestDisassemblerElf::armMismatchDropsEntries()
{
    // The entries are out of order: the first is passed as bytes, the second matches, the
    // third is missing. No marker; the matched entry's bytes are not emitted at all.
    const QByteArray image = ImageWithRelocs(kArm, Hex("00"), Rel(0x224, 23) + Rel(0x220, 23));
    QCOMPARE(ReferencesOf<DisassemblerElf32ARM>(image),
             (QStringList{"abs32 @0x220 -> 0x200", "abs32 @0x224 -> 0x204"}));
    PatchStatus status = PATCH_OK;
    const QByteArray assembled = RoundTrip(image, &status);
    QCOMPARE(status, PATCH_OK);
    QCOMPARE(assembled.size(), image.size() - 8);
    QCOMPARE(assembled.left(0x248), image.left(0x248));
    QCOMPARE(assembled.mid(0x248), image.mid(0x250));
}

void TestDisassemblerElf::pointerOutsideEverySegmentIsIgnored()
{
    // The segment covers only the first 0x220 bytes: the relocated pointers lie outside its
    // file-backed part, and the call's target must lie inside.
    QByteArray contents;
    PutBytes(&contents, 0x200, Hex("E80B000000E816000000"));
    PutBytes(&contents, 0x240, Rel(0x220, 8) + Rel(0x224, 8));
    const QByteArray image =
        Elf(false, kX86, contents, {{1, 0x200, 0x200, 0x20, 0}, {9, 0x240, 0x240, 16, 8}}, {{1, 0, 0, 0x220, 0x220}});
    QCOMPARE(ReferencesOf<DisassemblerElf32X86>(image), QStringList{"rel32 @0x201 -> 0x210"});
}

void TestDisassemblerElf::sectionOutsideImageFails()
{
    // A PROGBITS section that claims more bytes than the image has: status 25, no read past it.
    QByteArray image = TextImage(false, kX86, Hex("90"));
    const int shoff = 0x40 + 32;
    Put32(&image, shoff + 20, 0x10000);
    std::unique_ptr<LabeledProgram> program;
    QCOMPARE(ParseDetectedExecutable(Data(image), size_t(image.size()), &program), PATCH_DISASSEMBLY_ERROR);
    QVERIFY(!program);
}

void TestDisassemblerElf::pointerInUnrecognisedSectionIsLogged()
{
    // A DYNAMIC section listed before the data section that holds the pointer: the walk logs the
    // pointer there and consumes it in the data section.
    QByteArray contents;
    PutBytes(&contents, 0x200, Hex("90"));
    Put32(&contents, 0x220, 0x200);
    PutBytes(&contents, 0x240, Rel(0x220, 8));
    const QByteArray image = Elf(
        false, kX86, contents,
        {{1, 0x200, 0x200, 0x20, 0}, {6, 0x220, 0x220, 0x10, 8}, {1, 0x220, 0x220, 0x10, 0}, {9, 0x240, 0x240, 8, 8}},
        kIdentity);
    QStringList records;
    SetLogSink([&records](LogLevel level, const std::string &text) {
        if (level == LOG_DEBUG)
            records << QString::fromStdString(text);
    });
    const QStringList found = ReferencesOf<DisassemblerElf32X86>(image);
    SetLogSink(LogSink());
    QCOMPARE(found, (QStringList{"abs32 @0x220 -> 0x200", "elf-relocs"}));
    QCOMPARE(records, QStringList{"Relocation address in unrecognized ELF section: 6"});
}

void TestDisassemblerElf::pointerNotConsumedFails()
{
    // The relocated pointer lies in the REL section itself: retained, but no emission step
    // consumes it, so the disassembly fails.
    QByteArray contents;
    PutBytes(&contents, 0x200, Hex("90"));
    PutBytes(&contents, 0x240, Rel(0x244, 8));
    const QByteArray image =
        Elf(false, kX86, contents, {{1, 0x200, 0x200, 0x20, 0}, {9, 0x240, 0x240, 8, 8}}, kIdentity);
    QCOMPARE(ReferencesOf<DisassemblerElf32X86>(image), QStringList{"failed"});
    std::unique_ptr<LabeledProgram> program;
    QCOMPARE(ParseDetectedExecutable(Data(image), size_t(image.size()), &program), PATCH_DISASSEMBLY_ERROR);
}

QTEST_APPLESS_MAIN(TestDisassemblerElf)
#include "tst_disassembler_elf.moc"
