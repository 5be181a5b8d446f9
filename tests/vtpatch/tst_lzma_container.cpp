// LZMA containers through UnpackLzmaContainer: plain and preprocessed containers made by the
// creator unpack byte for byte, and every failure names its cause with its own log record and
// writes nothing.
#include <QtTest>

#include <QRandomGenerator>
#include <QTemporaryDir>

#include <memory>
#include <string>
#include <vector>

#include "create/bytediff_create.h"
#include "create/lzma2_writer.h"
#include "create/lzma_container_create.h"
#include "create/program_writer.h"
#include "enginetestutil.h"
#include "lib/checksum.h"
#include "lib/encoded_program.h"
#include "lib/logging.h"
#include "lib/lzma_container.h"
#include "lib/streams.h"
#include "lib/vtpatch.h"
#include "testpaths.h"

using namespace vtpatch;
using EngineTestUtil::Bytes;
using EngineTestUtil::LinearSet;
using EngineTestUtil::RawDiff;
using EngineTestUtil::U8;
using EngineTestUtil::Varint;
using TestFiles::randomBytes;
using TestFiles::readFile;
using TestFiles::writeFile;

namespace {

QByteArray Lzma2(const QByteArray &bytes)
{
    WriteStream out;
    WriteLzma2Block(U8(bytes), static_cast<size_t>(bytes.size()), &out, 0);
    return Bytes(out);
}

QByteArray Container(uint32_t checksum, uint32_t directive, const QByteArray &payload)
{
    return Varint(kLzmaContainerMagic) + Varint(checksum) + Varint(directive) + payload;
}

// Collects the engine's ERROR records while alive.
class LogCapture {
public:
    LogCapture()
    {
        SetLogSink([this](LogLevel level, const std::string &text) {
            if (level == LOG_ERROR)
                records << QString::fromStdString(text);
        });
    }
    ~LogCapture() { SetLogSink(nullptr); }
    QStringList records;
};

// A hand-built program: a text section with pointers and branches, a PE relocation table and
// bytes after it, the way a PE image would be laid out.
std::unique_ptr<EncodedProgram> HandBuiltProgram(uint32_t seed)
{
    std::unique_ptr<EncodedProgram> program(new EncodedProgram);
    program->set_image_base(0x400000);
    for (uint32_t i = 0; i < 8; ++i) {
        program->DefineAbs32Label(i, 0x1000 + 0x40 * i + seed);
        program->DefineRel32Label(i, 0x1100 + 0x10 * i);
    }
    program->EndLabels();
    const QByteArray header = randomBytes(64, seed);
    program->AddOrigin(0x1000);
    program->AddCopy(U8(header), size_t(header.size()));
    for (uint32_t i = 0; i < 8; ++i) {
        program->AddByte(0xE8);
        program->AddRel32(i);
        program->AddByte(0x68);
        program->AddAbs32(7 - i);
    }
    program->AddPeRelocTableMarker(false);
    program->AddCopy(U8(header), 16);
    return program;
}

} // namespace

class TestLzmaContainer : public QObject {
    Q_OBJECT

private slots:
    void plainRoundTrip_data();
    void plainRoundTrip();
    void executablesRoundTrip_data();
    void executablesRoundTrip();
    void embeddedExecutablesRoundTrip_data();
    void embeddedExecutablesRoundTrip();
    void handBuiltProgramsRoundTrip();
    void failures_data();
    void failures();
    void writeFailure();
    void goldenCorpus_data();
    void goldenCorpus();
};

void TestLzmaContainer::plainRoundTrip_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("random 300 bytes") << randomBytes(300, 1);
    QByteArray big(5 << 20, 'a');
    for (int i = 0; i < big.size(); i += 4099)
        big[i] = char(i);
    QTest::newRow("5 MB") << big;
}

void TestLzmaContainer::plainRoundTrip()
{
    QFETCH(QByteArray, content);
    WriteStream container;
    uint32_t directive = 0;
    QVERIFY(CreateLzmaContainer(U8(content), size_t(content.size()), true, &container, &directive));
    QCOMPARE(directive, kDirectivePlain);
    const QByteArray bytes = Bytes(container);
    QCOMPARE(bytes.left(4).toHex(), QByteArray("e9aea83f"));
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("c"), bytes + "trailing bytes are ignored"));
    QVERIFY(UnpackLzmaContainer(dir.filePath("c").toStdString(), dir.filePath("out").toStdString()));
    QVERIFY(readFile(dir.filePath("out")) == content);
}

void TestLzmaContainer::executablesRoundTrip_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"elf-x64-pie-v1", "elf-x64-v2", "elf-x86-pie-v1", "elf-arm-pie-v2", "elf-thumb-pie-v1",
                             "pe32-v1.exe", "pe64-v2.exe", "macho-x64-v1", "macho-x86-v2"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestLzmaContainer::executablesRoundTrip()
{
    QFETCH(QString, name);
    const QByteArray content = readFile(TestPaths::dataFile("exe/" + name));
    QVERIFY(!content.isEmpty());
    WriteStream container;
    uint32_t directive = 0;
    QVERIFY(CreateLzmaContainer(U8(content), size_t(content.size()), true, &container, &directive));
    QCOMPARE(directive, kDirectiveDisassembled);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("c"), Bytes(container)));
    QVERIFY(UnpackLzmaContainer(dir.filePath("c").toStdString(), dir.filePath("out").toStdString()));
    QVERIFY(readFile(dir.filePath("out")) == content);
}

void TestLzmaContainer::embeddedExecutablesRoundTrip_data()
{
    QTest::addColumn<QStringList>("parts"); // fixture names; "-" is filler without a signature
    QTest::addColumn<int>("programs");
    QTest::newRow("bundle") << QStringList{"-", "elf-x86-pie-v1", "-", "pe64-v2.exe", "macho-x86-v1", "-"} << 3;
    QTest::newRow("executable after data") << QStringList{"-", "elf-arm-pie-v2"} << 1;
    // Room for nine programs: the largest nine are stored, the rest left to the byte diff.
    QStringList eleven;
    for (int i = 0; i < 10; ++i)
        eleven << "elf-x64-v1";
    eleven << "macho-x64-v1";
    QTest::newRow("eleven executables") << eleven << 9;
}

void TestLzmaContainer::embeddedExecutablesRoundTrip()
{
    QFETCH(QStringList, parts);
    QFETCH(int, programs);
    QByteArray content;
    for (const QString &part : parts)
        content += part == "-" ? QByteArray(333, 'd') : readFile(TestPaths::dataFile("exe/" + part));
    WriteStream container;
    uint32_t directive = 0;
    QVERIFY(CreateLzmaContainer(U8(content), size_t(content.size()), true, &container, &directive));
    QCOMPARE(directive, kDirectiveDisassembled);

    // One encoded program per executable, then the diff.
    ReadStream reader(container.Data(), container.Length());
    uint32_t magic = 0, checksum = 0, stored = 0;
    QVERIFY(reader.ReadVarint32(&magic) && reader.ReadVarint32(&checksum) && reader.ReadVarint32(&stored));
    WriteStream payload;
    QVERIFY(reader.ReadLzma2Block(&payload));
    ReadStreamSet set;
    QVERIFY(set.Parse(payload.Data(), payload.Length()));
    QCOMPARE(set.Count(), size_t(programs + 1));

    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("c"), Bytes(container)));
    QVERIFY(UnpackLzmaContainer(dir.filePath("c").toStdString(), dir.filePath("out").toStdString()));
    QVERIFY(readFile(dir.filePath("out")) == content);
}

void TestLzmaContainer::handBuiltProgramsRoundTrip()
{
    // Two programs (as in a universal binary) and content that differs from their images: the
    // diff carries the difference.
    std::unique_ptr<EncodedProgram> first = HandBuiltProgram(1), second = HandBuiltProgram(2);
    WriteStream images;
    {
        std::unique_ptr<EncodedProgram> a = HandBuiltProgram(1), b = HandBuiltProgram(2);
        QCOMPARE(int(AssembleEncodedProgram(a.get(), &images)), int(PATCH_OK));
        QCOMPARE(int(AssembleEncodedProgram(b.get(), &images)), int(PATCH_OK));
    }
    QByteArray content = "HEADER" + Bytes(images) + "TRAILER";
    content[100] = 'Z';
    EncodedProgram *programs[] = {first.get(), second.get()};
    WriteStream container;
    std::string error;
    QVERIFY(CreateDisassembledLzmaContainer(U8(content), size_t(content.size()), programs, 2, &container, 9, &error));
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("c"), Bytes(container)));
    QVERIFY(UnpackLzmaContainer(dir.filePath("c").toStdString(), dir.filePath("out").toStdString()));
    QVERIFY(readFile(dir.filePath("out")) == content);

    // Directive 1 forced on an executable still works.
    const QByteArray exe = readFile(TestPaths::dataFile("exe/elf-x64-v1"));
    WriteStream plain;
    uint32_t directive = 0;
    QVERIFY(CreateLzmaContainer(U8(exe), size_t(exe.size()), false, &plain, &directive));
    QCOMPARE(directive, kDirectivePlain);
    QVERIFY(writeFile(dir.filePath("c1"), Bytes(plain)));
    QVERIFY(UnpackLzmaContainer(dir.filePath("c1").toStdString(), dir.filePath("out1").toStdString()));
    QVERIFY(readFile(dir.filePath("out1")) == exe);
}

void TestLzmaContainer::failures_data()
{
    QTest::addColumn<QByteArray>("container"); // null: the file does not exist
    QTest::addColumn<QString>("record");

    const QByteArray content = "the unpacked content";
    const uint32_t sum = PatchChecksum(U8(content), size_t(content.size()));
    // A valid empty program, linearised: base and origins, then empty tables.
    const QByteArray zero = Varint(0);
    const QByteArray emptyProgram = LinearSet({zero + zero, zero, zero, zero, zero, zero, zero, zero, {}});
    const QByteArray unknownOp = LinearSet({zero + zero, Varint(1) + Varint(9), zero, zero, zero, zero, zero, zero, {}});
    const QByteArray diff = RawDiff(QByteArray(), content);

    QTest::newRow("missing") << QByteArray() << "could not open lzma file";
    QTest::newRow("empty") << QByteArray("") << "could not open lzma file";
    QTest::newRow("one byte") << QByteArray("\xe9") << "could not read lzma header";
    QTest::newRow("two bytes") << QByteArray("\xe9\xae") << "could not read lzma header";
    QTest::newRow("no directive") << Varint(kLzmaContainerMagic) + Varint(sum) << "could not read lzma header";
    QTest::newRow("other magic") << Container(sum, 1, Lzma2(content)).replace(0, 4, Varint(7696195)) << "not lzma file";
    QTest::newRow("directive 0") << Container(sum, 0, Lzma2(content)) << "Unknown preprocessing dirrective";
    QTest::newRow("directive 3") << Container(sum, 3, Lzma2(content)) << "Unknown preprocessing dirrective";
    QTest::newRow("directive 1, bad block") << Container(sum, 1, "\x50garbage") << "could not decompress file";
    QTest::newRow("directive 1, truncated block") << Container(sum, 1, Lzma2(content).left(8)) << "could not decompress file";
    QTest::newRow("crc mismatch") << Container(sum ^ 1, 1, Lzma2(content)) << "crc mismatch";
    QTest::newRow("directive 2, bad block") << Container(sum, 2, "\x50garbage") << "could not decompress file";
    QTest::newRow("directive 2, payload no set") << Container(sum, 2, Lzma2("not a set")) << "could not init dif_and_dis set";
    QTest::newRow("directive 2, one stream") << Container(sum, 2, Lzma2(LinearSet({diff}))) << "dis_and_diff too small";
    QTest::newRow("directive 2, program no set")
        << Container(sum, 2, Lzma2(LinearSet({"xyz", diff}))) << "could not init program_source set";
    QTest::newRow("directive 2, program unreadable")
        << Container(sum, 2, Lzma2(LinearSet({LinearSet({zero}), diff}))) << "could not read encoded program";
    QTest::newRow("directive 2, program unassemblable")
        << Container(sum, 2, Lzma2(LinearSet({unknownOp, diff}))) << "could not assemble program";
    QTest::newRow("directive 2, diff damaged")
        << Container(sum, 2, Lzma2(LinearSet({emptyProgram, "\x07"}))) << "could not apply diff";
    QTest::newRow("directive 2, crc mismatch")
        << Container(sum ^ 1, 2, Lzma2(LinearSet({emptyProgram, diff}))) << "crc mismatch";
    QTest::newRow("directive 2, empty programs") << Container(sum, 2, Lzma2(LinearSet({emptyProgram, emptyProgram, diff})))
                                                 << QString();
}

void TestLzmaContainer::failures()
{
    QFETCH(QByteArray, container);
    QFETCH(QString, record);
    QTemporaryDir dir;
    const QString input = dir.filePath("c"), output = dir.filePath("out");
    if (!container.isNull())
        QVERIFY(writeFile(input, container));
    QVERIFY(writeFile(output, "kept"));
    LogCapture log;
    const bool ok = UnpackLzmaContainer(input.toStdString(), output.toStdString());
    QCOMPARE(ok, record.isEmpty());
    if (ok) {
        QCOMPARE(readFile(output), QByteArray("the unpacked content"));
        QVERIFY(log.records.isEmpty());
        return;
    }
    QVERIFY(!log.records.isEmpty());
    QCOMPARE(log.records.last(), record);
    QCOMPARE(log.records.count(record), 1);
    QCOMPARE(readFile(output), QByteArray("kept"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), container.isNull() ? 1 : 2);
}

void TestLzmaContainer::writeFailure()
{
    QTemporaryDir dir;
    WriteStream container;
    QVERIFY(CreatePlainLzmaContainer(U8(QByteArray("abc")), 3, &container));
    QVERIFY(writeFile(dir.filePath("c"), Bytes(container)));
    LogCapture log;
    QVERIFY(!UnpackLzmaContainer(dir.filePath("c").toStdString(), dir.filePath("missing/out").toStdString()));
    QCOMPARE(log.records, QStringList{"could not write output file"});
}

void TestLzmaContainer::goldenCorpus_data()
{
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("expected"); // the unpacked file, or the failure's record
    QTest::newRow("plain") << "good-text.lzma" << "vtpatch/good-text.new";
    QTest::newRow("ELF x86 program") << "good-elf-x86-pie-v2.lzma" << "exe/elf-x86-pie-v2";
    QTest::newRow("PE64 program") << "good-pe64-v2.lzma" << "exe/pe64-v2.exe";
    QTest::newRow("bad checksum") << "bad-checksum.lzma" << "crc mismatch";
    QTest::newRow("bad directive") << "bad-directive.lzma" << "Unknown preprocessing dirrective";
    QTest::newRow("truncated") << "bad-truncated.lzma" << "could not decompress file";
}

void TestLzmaContainer::goldenCorpus()
{
    QFETCH(QString, container);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    LogCapture log;
    const bool ok = UnpackLzmaContainer(TestPaths::dataFile("vtpatch/" + container).toStdString(),
                                        dir.filePath("out").toStdString());
    QCOMPARE(ok, container.startsWith("good-"));
    if (ok)
        QVERIFY(readFile(dir.filePath("out")) == readFile(TestPaths::dataFile(expected)));
    else
        QCOMPARE(log.records.last(), expected);
}

QTEST_APPLESS_MAIN(TestLzmaContainer)
#include "tst_lzma_container.moc"
