// Encoded programs: the encoding adders, writing and reading through stream sets, assembly with
// relocation tables, and the ARM branch codec. The byte vectors here are format facts: a patch
// made elsewhere only applies if these bytes come out exactly.
#include <QtTest>

#include <memory>
#include <vector>

#include "enginetestutil.h"
#include "lib/encoded_program.h"
#include "lib/streams.h"

using namespace vtpatch;
using EngineTestUtil::Bytes;

namespace {

QByteArray Hex(const char *hex)
{
    return QByteArray::fromHex(hex);
}

std::vector<uint32_t> Values(const U32Vector &vector)
{
    return std::vector<uint32_t>(vector.data(), vector.data() + vector.size());
}

// A program given table by table, written the way WriteEncodedProgram lays it out, so that tests
// can build programs the adders would never produce (unmerged copies, bad label numbers, extra
// bytes). Stream 8 and a count below nine can be set to show the read checks.
struct RawProgram {
    uint32_t imageBase = 0;
    std::vector<uint32_t> origins, ops, copyCounts, abs32Ix, rel32Ix, abs32Rvas, rel32Rvas;
    QByteArray copyBytes;
    QByteArray stream8;
    QByteArray trailing[9]; // appended to stream i after its proper content
    int copyByteCountDelta = 0;
    QMap<int, QByteArray> replaced; // stream i holds exactly these bytes instead

    QByteArray Linear() const
    {
        WriteStreamSet set;
        auto vector = [](WriteStream &s, const std::vector<uint32_t> &v) {
            s.WriteVarint32(static_cast<uint32_t>(v.size()));
            for (uint32_t value : v)
                s.WriteVarint32(value);
        };
        auto delta = [](WriteStream &s, const std::vector<uint32_t> &v) {
            s.WriteVarint32(static_cast<uint32_t>(v.size()));
            uint32_t previous = 0;
            for (uint32_t value : v) {
                s.WriteVarint32(value - previous);
                previous = value;
            }
        };
        set.stream(0).WriteVarint32(imageBase);
        vector(set.stream(0), origins);
        vector(set.stream(1), ops);
        set.stream(2).WriteVarint32(static_cast<uint32_t>(copyBytes.size() + copyByteCountDelta));
        set.stream(2).Write(copyBytes.constData(), static_cast<size_t>(copyBytes.size()));
        vector(set.stream(3), abs32Ix);
        vector(set.stream(4), rel32Ix);
        delta(set.stream(5), abs32Rvas);
        delta(set.stream(6), rel32Rvas);
        vector(set.stream(7), copyCounts);
        set.stream(8).Write(stream8.constData(), static_cast<size_t>(stream8.size()));
        for (int i = 0; i < 9; ++i)
            set.stream(static_cast<size_t>(i)).Write(trailing[i].constData(), static_cast<size_t>(trailing[i].size()));
        for (auto it = replaced.cbegin(); it != replaced.cend(); ++it) {
            WriteStream &s = set.stream(static_cast<size_t>(it.key()));
            s.Release();
            s.Write(it.value().constData(), static_cast<size_t>(it.value().size()));
        }
        WriteStream out;
        set.CopyTo(&out);
        return Bytes(out);
    }

    PatchStatus Read(std::unique_ptr<EncodedProgram> *program, QByteArray *storage) const
    {
        *storage = Linear();
        ReadStreamSet streams;
        if (!streams.Parse(reinterpret_cast<const uint8_t *>(storage->constData()), static_cast<size_t>(storage->size())))
            return PATCH_STREAM_ERROR;
        return ReadEncodedProgram(&streams, program);
    }
};

// Reads and assembles; the status of whichever step failed.
PatchStatus Assemble(const RawProgram &raw, QByteArray *image)
{
    QByteArray storage;
    std::unique_ptr<EncodedProgram> program;
    const PatchStatus read = raw.Read(&program, &storage);
    if (read != PATCH_OK)
        return read;
    WriteStream out;
    const PatchStatus status = AssembleEncodedProgram(program.get(), &out);
    *image = Bytes(out);
    return status;
}

} // namespace

Q_DECLARE_METATYPE(RawProgram)

class TestEncodedProgram : public QObject {
    Q_OBJECT

private slots:
    void assembly_data();
    void assembly();
    void readRejects_data();
    void readRejects();
    void deltaVectorIsWrittenAsDifferences();
    void writeThenReadGivesTheSameTables();
    void encodingMergesCopies();
    void endLabelsFillsGapsWithThePreviousAddress();
    void armDecompressVector();
    void armRoundTrip_data();
    void armRoundTrip();
    void armAssemblyWritesHalfwordsInOrder();
};

void TestEncodedProgram::assembly_data()
{
    QTest::addColumn<RawProgram>("program");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("image");

    RawProgram p;
    QTest::newRow("no ops, empty tables") << p << int(PATCH_OK) << QByteArray();

    p = RawProgram();
    p.copyCounts = {3};
    p.copyBytes = "abcd";
    p.ops = {1, 2};
    QTest::newRow("op 1 count 3 then op 2 take four bytes in order") << p << int(PATCH_OK) << QByteArray("abcd");

    p = RawProgram();
    p.copyCounts = {3};
    p.copyBytes = "abc";
    QTest::newRow("copy count no op consumes") << p << int(PATCH_ASSEMBLY_ERROR) << QByteArray();

    p = RawProgram();
    p.copyBytes = "ab";
    p.ops = {2};
    QTest::newRow("copy byte left over") << p << int(PATCH_ASSEMBLY_ERROR) << QByteArray();

    p = RawProgram();
    p.copyCounts = {3};
    p.copyBytes = "ab";
    p.ops = {1};
    QTest::newRow("copy count past copy bytes") << p << int(PATCH_ASSEMBLY_ERROR) << QByteArray();

    p = RawProgram();
    p.ops = {2};
    QTest::newRow("op 2 without copy byte") << p << int(PATCH_ASSEMBLY_ERROR) << QByteArray();

    p = RawProgram();
    p.ops = {0};
    QTest::newRow("origin past its table") << p << int(PATCH_ASSEMBLY_ERROR) << QByteArray();

    p = RawProgram();
    p.origins = {0x1000, 0x2000};
    p.ops = {0};
    QTest::newRow("unused origins are allowed") << p << int(PATCH_OK) << QByteArray();

    p = RawProgram();
    p.origins = {0x1000};
    p.rel32Rvas = {0x1010};
    p.rel32Ix = {0};
    p.ops = {0, 3};
    QTest::newRow("rel32 at 0x1000 to 0x1010") << p << int(PATCH_OK) << Hex("0c000000");

    p.rel32Ix = {1};
    QTest::newRow("rel32 label outside its table") << p << int(PATCH_ASSEMBLY_ERROR) << QByteArray();

    p = RawProgram();
    p.rel32Rvas = {0};
    p.rel32Ix = {0, 0};
    p.ops = {3};
    QTest::newRow("rel32 index left over") << p << int(PATCH_ASSEMBLY_ERROR) << Hex("fcffffff");

    p = RawProgram();
    p.imageBase = 0x400000;
    p.abs32Rvas = {0x2000};
    p.abs32Ix = {0};
    p.ops = {4};
    QTest::newRow("abs32 with image base") << p << int(PATCH_OK) << Hex("00204000");

    p.abs32Ix = {};
    QTest::newRow("abs32 past its index table") << p << int(PATCH_ASSEMBLY_ERROR) << QByteArray();

    p = RawProgram();
    p.abs32Rvas = {0x10};
    p.abs32Ix = {0, 0, 0};
    p.origins = {0x1000, 0x2008};
    p.ops = {0, 4, 4, 0, 4, 5};
    QTest::newRow("PE table, two pages, padded second block")
        << p << int(PATCH_OK)
        << Hex("100000001000000010000000"
               "001000000c000000" "00300430"
               "002000000c000000" "08300000");

    p.ops = {0, 4, 4, 0, 4, 8};
    QTest::newRow("PE64 table uses entry type 10")
        << p << int(PATCH_OK)
        << Hex("100000001000000010000000"
               "001000000c000000" "00a004a0"
               "002000000c000000" "08a00000");

    p = RawProgram();
    p.abs32Rvas = {0x10};
    p.abs32Ix = {0, 0};
    p.origins = {0x300, 0x100};
    p.copyBytes = "XY";
    p.ops = {0, 4, 6, 2, 0, 4, 2};
    QTest::newRow("ELF table sorted, side bytes after it")
        << p << int(PATCH_OK)
        << Hex("10000000") + QByteArray("") + Hex("0001000008000000" "0003000008000000") + QByteArray("X") +
               Hex("10000000") + QByteArray("Y");

    p.ops = {0, 4, 7, 2, 0, 4, 2};
    QTest::newRow("ELF ARM table uses type 23")
        << p << int(PATCH_OK)
        << Hex("10000000") + Hex("0001000017000000" "0003000017000000") + QByteArray("X") + Hex("10000000") +
               QByteArray("Y");

    p = RawProgram();
    p.abs32Rvas = {0x10};
    p.abs32Ix = {0};
    p.copyBytes = "AB";
    p.ops = {4, 5, 2, 6, 2};
    QTest::newRow("PE and ELF table: main, PE table, side, ELF table")
        << p << int(PATCH_OK)
        << Hex("10000000") + Hex("000000000c000000" "00300000") + QByteArray("AB") + Hex("0000000008000000");

    p = RawProgram();
    p.ops = {5, 5};
    QTest::newRow("second PE table") << p << int(PATCH_ASSEMBLY_ERROR) << QByteArray();
    p.ops = {5, 8};
    QTest::newRow("PE then PE64 table") << p << int(PATCH_ASSEMBLY_ERROR) << QByteArray();
    p.ops = {6, 7};
    QTest::newRow("ELF then ELF ARM table") << p << int(PATCH_ASSEMBLY_ERROR) << QByteArray();
    p.ops = {5};
    QTest::newRow("PE table without pointers is empty") << p << int(PATCH_OK) << QByteArray();

    for (uint32_t op : {9u, 0xFFFu, 0x6000u, 0x11000u, 0xFFFFFFFFu}) {
        p = RawProgram();
        p.rel32Rvas = {0};
        p.rel32Ix = {0};
        p.ops = {op};
        QTest::newRow(qPrintable(QStringLiteral("unknown op 0x%1").arg(op, 0, 16)))
            << p << int(PATCH_ASSEMBLY_ERROR) << QByteArray();
    }

    p = RawProgram();
    p.origins = {0x200};
    p.rel32Rvas = {0x200 - 252};
    p.rel32Ix = {0};
    p.ops = {0, 0x10D0};
    QTest::newRow("ARM type 0 branch") << p << int(PATCH_OK) << Hex("80d0");
    p.ops = {0x10D0};
    p.rel32Ix = {};
    QTest::newRow("ARM branch without label") << p << int(PATCH_ASSEMBLY_ERROR) << QByteArray();
}

void TestEncodedProgram::assembly()
{
    QFETCH(RawProgram, program);
    QFETCH(int, status);
    QFETCH(QByteArray, image);
    QByteArray assembled;
    QCOMPARE(int(Assemble(program, &assembled)), status);
    if (status == PATCH_OK)
        QCOMPARE(assembled.toHex(), image.toHex());
}

void TestEncodedProgram::readRejects_data()
{
    QTest::addColumn<RawProgram>("program");
    QTest::addColumn<int>("status");

    RawProgram p;
    QTest::newRow("empty program reads") << p << int(PATCH_OK);
    p.stream8 = "x";
    QTest::newRow("stream 8 not empty") << p << int(PATCH_READ_PROGRAM_ERROR);
    for (int i = 0; i < 8; ++i) {
        p = RawProgram();
        p.trailing[i] = Hex("00");
        QTest::newRow(qPrintable(QStringLiteral("extra byte in stream %1").arg(i))) << p << int(PATCH_READ_PROGRAM_ERROR);
    }
    p = RawProgram();
    p.copyBytes = "abc";
    p.copyByteCountDelta = 1;
    QTest::newRow("copy byte count past stream end") << p << int(PATCH_READ_PROGRAM_ERROR);
    p.copyByteCountDelta = -1;
    QTest::newRow("copy byte count short of stream end") << p << int(PATCH_READ_PROGRAM_ERROR);

    // Counts that announce far more values than the stream holds are refused before anything
    // is allocated for them (ASan would report a 16 GiB request).
    const char *names[] = {"origins", "ops", "copy bytes", "abs32_ix", "rel32_ix", "abs32 rvas", "rel32 rvas",
                           "copy counts"};
    const int streamOf[] = {0, 1, 2, 3, 4, 5, 6, 7};
    for (int i = 0; i < 8; ++i) {
        p = RawProgram();
        p.replaced[streamOf[i]] = i == 0 ? Hex("00ffffffff0f01") : Hex("ffffffff0f01");
        QTest::newRow(qPrintable(QStringLiteral("count 2^32-1 in %1").arg(QLatin1String(names[i]))))
            << p << int(PATCH_READ_PROGRAM_ERROR);
        p.replaced[streamOf[i]] = i == 0 ? Hex("0002") + Hex("05") : Hex("0205");
        QTest::newRow(qPrintable(QStringLiteral("truncated %1").arg(QLatin1String(names[i]))))
            << p << int(PATCH_READ_PROGRAM_ERROR);
    }
    p = RawProgram();
    p.replaced[1] = Hex("0180");
    QTest::newRow("malformed varint in ops") << p << int(PATCH_READ_PROGRAM_ERROR);
    p.replaced[1] = QByteArray();
    QTest::newRow("empty ops stream") << p << int(PATCH_READ_PROGRAM_ERROR);
}

void TestEncodedProgram::readRejects()
{
    QFETCH(RawProgram, program);
    QFETCH(int, status);
    QByteArray storage;
    std::unique_ptr<EncodedProgram> read;
    QCOMPARE(int(program.Read(&read, &storage)), status);
    QCOMPARE(read != nullptr, status == PATCH_OK);
}

void TestEncodedProgram::deltaVectorIsWrittenAsDifferences()
{
    EncodedProgram program;
    const uint32_t rvas[] = {3, 5, 5, 2};
    for (uint32_t i = 0; i < 4; ++i)
        QVERIFY(program.DefineAbs32Label(i, rvas[i]));
    WriteStreamSet set;
    QCOMPARE(int(WriteEncodedProgram(program, &set)), int(PATCH_OK));
    QCOMPARE(Bytes(set.stream(5)).toHex(), QByteArray("04030200fdffffff0f"));
    // The empty program's other streams: base 0 and no origins, then empty vectors.
    QCOMPARE(Bytes(set.stream(0)).toHex(), QByteArray("0000"));
    QCOMPARE(Bytes(set.stream(8)), QByteArray());
    QCOMPARE(Bytes(set.stream(9)), QByteArray());
}

void TestEncodedProgram::writeThenReadGivesTheSameTables()
{
    EncodedProgram program;
    program.set_image_base(0x1234567800400000ull);
    QVERIFY(program.DefineAbs32Label(1, 0x2000));
    QVERIFY(program.DefineRel32Label(0, 0xFFFFFFF0u));
    QVERIFY(program.DefineRel32Label(2, 0x10));
    program.EndLabels();
    const uint8_t text[] = {1, 2, 3};
    QVERIFY(program.AddOrigin(0x1000));
    QVERIFY(program.AddCopy(text, 3));
    QVERIFY(program.AddAbs32(1));
    QVERIFY(program.AddRel32(2));
    QVERIFY(program.AddByte(9));
    QVERIFY(program.AddArmBranch(0x3EB0, 0));
    QVERIFY(program.AddPeRelocTableMarker(true));

    WriteStreamSet set;
    QCOMPARE(int(WriteEncodedProgram(program, &set)), int(PATCH_OK));
    WriteStream linear;
    QVERIFY(set.CopyTo(&linear));
    ReadStreamSet streams;
    QVERIFY(streams.Parse(linear.Data(), linear.Length()));
    std::unique_ptr<EncodedProgram> read;
    QCOMPARE(int(ReadEncodedProgram(&streams, &read)), int(PATCH_OK));

    QCOMPARE(read->image_base(), uint64_t{0x00400000}); // only the low 32 bits are stored
    QCOMPARE(Values(read->abs32_rvas()), (std::vector<uint32_t>{0, 0x2000}));
    QCOMPARE(Values(read->rel32_rvas()), (std::vector<uint32_t>{0xFFFFFFF0u, 0xFFFFFFF0u, 0x10}));
    QCOMPARE(Values(read->ops()), (std::vector<uint32_t>{0, 1, 4, 3, 2, 0x3EB0, 8}));
    QCOMPARE(Values(read->origins()), std::vector<uint32_t>{0x1000});
    QCOMPARE(Values(read->copy_counts()), std::vector<uint32_t>{3});
    QCOMPARE(read->copy_bytes().size(), size_t{4});
    QCOMPARE(Values(read->abs32_ix()), std::vector<uint32_t>{1});
    QCOMPARE(Values(read->rel32_ix()), (std::vector<uint32_t>{2, 0}));

    // Writing what was read gives the same bytes again.
    WriteStreamSet again;
    QCOMPARE(int(WriteEncodedProgram(*read, &again)), int(PATCH_OK));
    WriteStream linearAgain;
    QVERIFY(again.CopyTo(&linearAgain));
    QCOMPARE(Bytes(linearAgain), Bytes(linear));

    // A set with fewer than nine streams cannot hold a program.
    const QByteArray eight = Hex("ea9aca09080000000000000000");
    ReadStreamSet short_set;
    QVERIFY(short_set.Parse(reinterpret_cast<const uint8_t *>(eight.constData()), static_cast<size_t>(eight.size())));
    QCOMPARE(int(ReadEncodedProgram(&short_set, &read)), int(PATCH_READ_PROGRAM_ERROR));
}

void TestEncodedProgram::encodingMergesCopies()
{
    EncodedProgram program;
    const uint8_t run[] = {1, 2, 3};
    QVERIFY(program.AddCopy(run, 3));
    QVERIFY(program.AddCopy(run, 2));
    QVERIFY(program.AddByte(7));
    QVERIFY(program.AddRel32(0));
    QVERIFY(program.AddByte(8));
    QVERIFY(program.AddAbs32(0));
    QVERIFY(program.AddByte(9));
    QVERIFY(program.AddCopy(run, 0)); // an empty run still turns the lone byte into op 1
    QVERIFY(program.AddRel32(0));
    QVERIFY(program.AddCopy(run, 0));
    QCOMPARE(Values(program.ops()), (std::vector<uint32_t>{1, 3, 2, 4, 1, 3, 1}));
    QCOMPARE(Values(program.copy_counts()), (std::vector<uint32_t>{6, 1, 0}));
    QCOMPARE(program.copy_bytes().size(), size_t{8});
}

void TestEncodedProgram::endLabelsFillsGapsWithThePreviousAddress()
{
    EncodedProgram program;
    QVERIFY(program.DefineRel32Label(1, 0x100));
    QVERIFY(program.DefineRel32Label(4, 0x400));
    QVERIFY(program.DefineRel32Label(5, 0xFFFFFFFFu)); // indistinguishable from a gap
    program.EndLabels();
    QCOMPARE(Values(program.rel32_rvas()), (std::vector<uint32_t>{0, 0x100, 0x100, 0x100, 0x400, 0x400}));
    QCOMPARE(program.abs32_rvas().size(), size_t{0});
}

void TestEncodedProgram::armDecompressVector()
{
    uint32_t instruction = 0;
    QVERIFY(ArmDecompress(ARM_THUMB_BCOND16, 0x10D0, static_cast<uint32_t>(-252), &instruction));
    QCOMPARE(instruction, 0xD080u);
    QVERIFY(!ArmDecompress(5, 0x10D0, 0, &instruction));
    QVERIFY(!ArmDecompress(-1, 0x10D0, 0, &instruction));
    uint32_t op = 0, relative = 0;
    QVERIFY(ArmCompress(ARM_THUMB_BCOND16, 0xD080, 0, &op, &relative));
    QCOMPARE(op, 0x10D0u);
    QCOMPARE(relative, static_cast<uint32_t>(-252));
    QVERIFY(!ArmCompress(5, 0, 0, &op, &relative));
    QCOMPARE(ArmBranchSize(0), 2u);
    QCOMPARE(ArmBranchSize(4), 4u);
    QCOMPARE(ArmBranchSize(5), 0u);
}

void TestEncodedProgram::armRoundTrip_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<uint>("instruction");
    QTest::addColumn<uint>("address");
    QTest::addColumn<int>("relative");

    QTest::newRow("thumb bcond forward") << 0 << 0xD17Fu << 0x100u << 0x7F * 2 + 4;
    QTest::newRow("thumb bcond backward") << 0 << 0xDB80u << 0x100u << -0x80 * 2 + 4;
    QTest::newRow("thumb b forward") << 1 << 0xE3FFu << 0x100u << 0x3FF * 2 + 4;
    QTest::newRow("thumb b backward") << 1 << 0xE400u << 0x100u << -0x400 * 2 + 4;
    QTest::newRow("arm bl forward") << 2 << 0xEB000010u << 0x1000u << 0x10 * 4 + 8;
    QTest::newRow("arm b backward") << 2 << 0xEAFFFFFEu << 0x1000u << 0;
    // BL: S=0, imm10=1, J1=J2=1 (I1=I2=0), imm11=2 -> v = 0x1004, r = v + 4.
    QTest::newRow("thumb2 bl forward") << 3 << 0xF001F802u << 0x1002u << 0x1004 + 4;
    // BL backward: S=1, imm10=0x3FF, J1=J2=1 (I1=I2=1), imm11=0x7FE -> v = -4.
    QTest::newRow("thumb2 bl backward") << 3 << 0xF7FFFFFEu << 0x1000u << -4 + 4;
    // BLX (bit 12 clear) at an address that is not a multiple of 4: adjustment 2.
    QTest::newRow("thumb2 blx misaligned") << 3 << 0xF000E802u << 0x1002u << 4 + 2;
    QTest::newRow("thumb2 blx aligned") << 3 << 0xF000E802u << 0x1000u << 4 + 4;
    // Bcond: cond 1, S=0, imm6=2, J1=0, J2=1, imm11=3 -> v = (1<<18)|(2<<12)|(3<<1).
    QTest::newRow("thumb2 bcond forward") << 4 << 0xF0428803u << 0x100u << ((1 << 18) | (2 << 12) | (3 << 1)) + 4;
    QTest::newRow("thumb2 bcond J1 only") << 4 << 0xF042A003u << 0x100u << ((1 << 19) | (2 << 12) | (3 << 1)) + 4;
    // S=1 and J1=J2=1, imm6 and imm11 all ones: v = -2.
    QTest::newRow("thumb2 bcond backward") << 4 << 0xF47FAFFFu << 0x100u << -2 + 4;
}

void TestEncodedProgram::armRoundTrip()
{
    QFETCH(int, type);
    QFETCH(uint, instruction);
    QFETCH(uint, address);
    QFETCH(int, relative);
    uint32_t op = 0, r = 0;
    QVERIFY(ArmCompress(type, instruction, address, &op, &r));
    QCOMPARE(int32_t(r), relative);
    QCOMPARE(op >> 12, uint32_t(type + 1));
    QVERIFY(op <= 0x5FFF);
    uint32_t back = 0;
    QVERIFY(ArmDecompress(type, op, r, &back));
    QCOMPARE(back, instruction);
}

void TestEncodedProgram::armAssemblyWritesHalfwordsInOrder()
{
    // A Thumb-2 BL to 0x2000 from 0x1000: the first halfword (high half) is written first.
    uint32_t op = 0, r = 0;
    QVERIFY(ArmCompress(ARM_THUMB2_BL, 0xF000F800u | 0x7FE, 0x1000, &op, &r));
    EncodedProgram program;
    QVERIFY(program.DefineRel32Label(0, 0x1000 + r));
    program.EndLabels();
    QVERIFY(program.AddOrigin(0x1000));
    QVERIFY(program.AddArmBranch(op, 0));
    WriteStream out;
    QCOMPARE(int(AssembleEncodedProgram(&program, &out)), int(PATCH_OK));
    QCOMPARE(Bytes(out).toHex(), QByteArray("00f0feff"));
}

QTEST_APPLESS_MAIN(TestEncodedProgram)
#include "tst_encoded_program.moc"
