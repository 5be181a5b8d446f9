// Labelled programs: label numbering, the ARM trimming rule and the encoding into an encoded
// program. Every rule here decides bytes of the patch format, so the expectations are written
// out field by field.
#include <QtTest>

#include <memory>
#include <vector>

#include "lib/encoded_program.h"
#include "lib/labeled_program.h"

using namespace vtpatch;

namespace {

std::vector<uint32_t> Values(const U32Vector &vector)
{
    return std::vector<uint32_t>(vector.data(), vector.data() + vector.size());
}

std::vector<uint8_t> Values(const ByteVector &vector)
{
    return std::vector<uint8_t>(vector.data(), vector.data() + vector.size());
}

std::unique_ptr<EncodedProgram> Encode(const LabeledProgram &program)
{
    std::unique_ptr<EncodedProgram> encoded;
    if (!program.Encode(&encoded))
        return nullptr;
    return encoded;
}

// An ARM program with a branch to `target` referenced `count` times, each branch being the two
// bytes at `image` (a 16-bit Thumb branch).
void AddThumbBranches(LabeledProgram *program, uint32_t target, int count, const uint8_t *image)
{
    for (int i = 0; i < count; ++i)
        QVERIFY(program->AddArmBranch(0x2000 | 0x1C, program->Rel32LabelAt(target), image, 2));
}

} // namespace

class TestLabeledProgram : public QObject {
    Q_OBJECT

private slots:
    void labelsAreNumberedInAddressOrder();
    void labelsCountTheirReferences();
    void renumberingKeepsAddressOrder();
    void trimmingRemovesRarelyUsedArmLabels_data();
    void trimmingRemovesRarelyUsedArmLabels();
    void trimmingFillsGapsFromTheEntryBefore();
    void trimmingLeavesOtherKindsAlone();
    void trimmingFailsOnBranchWithoutSize();
    void bytesMergeIntoOneCopy();
    void lonelyByteIsCopyOne();
    void emptyRunStillEncodesAsCopy();
    void peMarkerOpDependsOnKind_data();
    void peMarkerOpDependsOnKind();
    void fullProgramFieldByField();
};

void TestLabeledProgram::labelsAreNumberedInAddressOrder()
{
    LabeledProgram program(WIN_32_X86);
    Label *a = program.Rel32LabelAt(0x3000);
    Label *b = program.Rel32LabelAt(0x1000);
    Label *c = program.Rel32LabelAt(0x2000);
    Label *x = program.Abs32LabelAt(0x500);
    Label *y = program.Abs32LabelAt(0x100);
    QCOMPARE(a->index, -1);
    program.AssignLabelIndexes();
    QCOMPARE(a->index, 2);
    QCOMPARE(b->index, 0);
    QCOMPARE(c->index, 1);
    // The two maps are numbered independently.
    QCOMPARE(y->index, 0);
    QCOMPARE(x->index, 1);
}

void TestLabeledProgram::labelsCountTheirReferences()
{
    LabeledProgram program(EXE_ELF_32_X86);
    Label *first = program.Rel32LabelAt(0x10);
    QCOMPARE(program.Rel32LabelAt(0x10), first);
    QCOMPARE(program.Rel32LabelAt(0x10), first);
    QCOMPARE(first->count, 3);
    // Same address in the other map is another label.
    Label *pointer = program.Abs32LabelAt(0x10);
    QVERIFY(pointer != first);
    QCOMPARE(pointer->count, 1);
}

void TestLabeledProgram::renumberingKeepsAddressOrder()
{
    LabeledProgram program(ELF_64_X64);
    Label *late = program.Rel32LabelAt(0x20);
    program.AssignLabelIndexes();
    Label *early = program.Rel32LabelAt(0x10);
    program.AssignLabelIndexes(); // logs, but numbers all the same
    QCOMPARE(early->index, 0);
    QCOMPARE(late->index, 1);
}

void TestLabeledProgram::trimmingRemovesRarelyUsedArmLabels_data()
{
    QTest::addColumn<int>("references");
    QTest::addColumn<bool>("kept");
    QTest::newRow("once") << 1 << false;
    QTest::newRow("five times, the threshold") << 5 << false;
    QTest::newRow("six times") << 6 << true;
}

void TestLabeledProgram::trimmingRemovesRarelyUsedArmLabels()
{
    QFETCH(int, references);
    QFETCH(bool, kept);
    static const uint8_t image[] = {0x1C, 0xE0};
    LabeledProgram program(ELF_32_ARM);
    QVERIFY(program.AddOrigin(0x8000));
    AddThumbBranches(&program, 0x8000, references, image);
    program.AssignLabelIndexes();
    QVERIFY(program.TrimLabels());
    QCOMPARE(program.rel32_labels().count(0x8000) == 1, kept);

    std::unique_ptr<EncodedProgram> encoded = Encode(program);
    QVERIFY(encoded);
    if (kept) {
        QCOMPARE(Values(encoded->rel32_rvas()), std::vector<uint32_t>{0x8000});
        QCOMPARE(encoded->ops().size(), size_t(1 + references));
        QCOMPARE(encoded->ops()[1], 0x201Cu);
        QCOMPARE(Values(encoded->rel32_ix()), std::vector<uint32_t>(size_t(references), 0));
    } else {
        // The label was the highest (only) one: the table ends before it, and the branches
        // are their own bytes again, merged into one copy.
        QVERIFY(encoded->rel32_rvas().empty());
        QCOMPARE(Values(encoded->ops()), (std::vector<uint32_t>{0, 1}));
        QCOMPARE(encoded->copy_bytes().size(), size_t(2 * references));
        QVERIFY(encoded->rel32_ix().empty());
    }
}

void TestLabeledProgram::trimmingFillsGapsFromTheEntryBefore()
{
    static const uint8_t image[] = {0x1C, 0xE0};
    LabeledProgram program(ELF_32_ARM);
    AddThumbBranches(&program, 0x100, 6, image); // index 0, kept
    AddThumbBranches(&program, 0x200, 2, image); // index 1, trimmed
    AddThumbBranches(&program, 0x300, 7, image); // index 2, kept
    AddThumbBranches(&program, 0x400, 1, image); // index 3, trimmed, highest
    program.AssignLabelIndexes();
    QVERIFY(program.TrimLabels());
    std::unique_ptr<EncodedProgram> encoded = Encode(program);
    QVERIFY(encoded);
    QCOMPARE(Values(encoded->rel32_rvas()), (std::vector<uint32_t>{0x100, 0x100, 0x300}));
    std::vector<uint32_t> expectedIx(6, 0);
    expectedIx.insert(expectedIx.end(), 7, 2);
    QCOMPARE(Values(encoded->rel32_ix()), expectedIx);
    // op 1 count 4 (two trimmed branches) sits between the kept runs; the last branch is a copy.
    QCOMPARE(Values(encoded->copy_counts()), (std::vector<uint32_t>{4, 2}));
}

void TestLabeledProgram::trimmingLeavesOtherKindsAlone()
{
    static const uint8_t image[] = {0x1C, 0xE0};
    for (int kind : {int(WIN_32_X86), int(EXE_ELF_32_X86), int(ELF_64_X64), int(MACHO_X64)}) {
        LabeledProgram program(kind);
        AddThumbBranches(&program, 0x40, 1, image);
        program.AssignLabelIndexes();
        QVERIFY(program.TrimLabels());
        QCOMPARE(program.rel32_labels().size(), size_t(1));
        QCOMPARE(program.instruction(0).kind, Instruction::ARM_BRANCH);
    }
}

void TestLabeledProgram::trimmingFailsOnBranchWithoutSize()
{
    static const uint8_t image[] = {0x1C, 0xE0};
    LabeledProgram program(ELF_32_ARM);
    QVERIFY(program.AddArmBranch(0x201C, program.Rel32LabelAt(0x40), image, 0));
    program.AssignLabelIndexes();
    QVERIFY(!program.TrimLabels());
}

void TestLabeledProgram::bytesMergeIntoOneCopy()
{
    static const uint8_t image[] = {1, 2, 3, 4, 5};
    LabeledProgram program(ELF_64_X64);
    QVERIFY(program.AddBytes(image, 3));
    QVERIFY(program.AddBytes(image + 3, 2));
    QVERIFY(program.AddByte(9));
    program.AssignLabelIndexes();
    std::unique_ptr<EncodedProgram> encoded = Encode(program);
    QVERIFY(encoded);
    QCOMPARE(Values(encoded->ops()), std::vector<uint32_t>{1});
    QCOMPARE(Values(encoded->copy_counts()), std::vector<uint32_t>{6});
    QCOMPARE(Values(encoded->copy_bytes()), (std::vector<uint8_t>{1, 2, 3, 4, 5, 9}));
}

void TestLabeledProgram::lonelyByteIsCopyOne()
{
    LabeledProgram program(ELF_64_X64);
    QVERIFY(program.AddRel32(program.Rel32LabelAt(0x20)));
    QVERIFY(program.AddByte(0x90));
    QVERIFY(program.AddRel32(program.Rel32LabelAt(0x10)));
    program.AssignLabelIndexes();
    std::unique_ptr<EncodedProgram> encoded = Encode(program);
    QVERIFY(encoded);
    QCOMPARE(Values(encoded->ops()), (std::vector<uint32_t>{3, 2, 3}));
    QVERIFY(encoded->copy_counts().empty());
    QCOMPARE(Values(encoded->copy_bytes()), std::vector<uint8_t>{0x90});
    QCOMPARE(Values(encoded->rel32_ix()), (std::vector<uint32_t>{1, 0}));
    QCOMPARE(Values(encoded->rel32_rvas()), (std::vector<uint32_t>{0x10, 0x20}));
}

void TestLabeledProgram::emptyRunStillEncodesAsCopy()
{
    static const uint8_t image[] = {7};
    LabeledProgram program(EXE_ELF_32_X86);
    QVERIFY(program.AddElfRelocTableMarker());
    QVERIFY(program.AddBytes(image, 0));
    program.AssignLabelIndexes();
    std::unique_ptr<EncodedProgram> encoded = Encode(program);
    QVERIFY(encoded);
    QCOMPARE(Values(encoded->ops()), (std::vector<uint32_t>{6, 1}));
    QCOMPARE(Values(encoded->copy_counts()), std::vector<uint32_t>{0});
}

void TestLabeledProgram::peMarkerOpDependsOnKind_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<uint32_t>("op");
    QTest::newRow("PE32") << int(WIN_32_X86) << 5u;
    QTest::newRow("PE32+") << int(WIN_32_X64) << 8u;
}

void TestLabeledProgram::peMarkerOpDependsOnKind()
{
    QFETCH(int, kind);
    QFETCH(uint32_t, op);
    LabeledProgram program(kind);
    QVERIFY(program.AddPeRelocTableMarker());
    program.AssignLabelIndexes();
    std::unique_ptr<EncodedProgram> encoded = Encode(program);
    QVERIFY(encoded);
    QCOMPARE(Values(encoded->ops()), std::vector<uint32_t>{op});
}

void TestLabeledProgram::fullProgramFieldByField()
{
    static const uint8_t image[] = {0xAA, 0xBB, 0xCC};
    LabeledProgram program(EXE_ELF_32_X86);
    program.set_image_base(0x12345678);
    QVERIFY(program.AddOrigin(0x1000));
    QVERIFY(program.AddBytes(image, 3));
    QVERIFY(program.AddAbs32(program.Abs32LabelAt(0x2004)));
    QVERIFY(program.AddAbs32(program.Abs32LabelAt(0x2000)));
    QVERIFY(program.AddRel32(program.Rel32LabelAt(0x1100)));
    QVERIFY(program.AddOrigin(0x3000));
    QVERIFY(program.AddElfRelocTableMarker());
    QVERIFY(program.AddByte(0xCC));
    program.AssignLabelIndexes();
    QVERIFY(program.TrimLabels());
    std::unique_ptr<EncodedProgram> encoded = Encode(program);
    QVERIFY(encoded);
    QCOMPARE(encoded->image_base(), uint64_t(0x12345678));
    QCOMPARE(Values(encoded->ops()), (std::vector<uint32_t>{0, 1, 4, 4, 3, 0, 6, 2}));
    QCOMPARE(Values(encoded->origins()), (std::vector<uint32_t>{0x1000, 0x3000}));
    QCOMPARE(Values(encoded->copy_counts()), std::vector<uint32_t>{3});
    QCOMPARE(Values(encoded->copy_bytes()), (std::vector<uint8_t>{0xAA, 0xBB, 0xCC, 0xCC}));
    QCOMPARE(Values(encoded->abs32_ix()), (std::vector<uint32_t>{1, 0}));
    QCOMPARE(Values(encoded->abs32_rvas()), (std::vector<uint32_t>{0x2000, 0x2004}));
    QCOMPARE(Values(encoded->rel32_ix()), std::vector<uint32_t>{0});
    QCOMPARE(Values(encoded->rel32_rvas()), std::vector<uint32_t>{0x1100});
}

QTEST_APPLESS_MAIN(TestLabeledProgram)
#include "tst_labeled_program.moc"
