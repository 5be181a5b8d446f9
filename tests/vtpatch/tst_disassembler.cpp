// Executable detection over the real fixtures (tests/data/exe, see its README): each is picked
// up by the right disassembler, encodes the same way every time and assembles back to its own
// bytes; damaged and truncated copies end in a status, never in a crash or a read past the end
// (run this under ASan).
#include <QtTest>

#include <memory>

#include "disassembly_helpers.h"
#include "enginetestutil.h"
#include "lib/disassembler.h"
#include "lib/encoded_program.h"
#include "lib/labeled_program.h"
#include "lib/streams.h"
#include "testpaths.h"

using namespace vtpatch;
using namespace disassembly_test;
using EngineTestUtil::ExeFixture;

namespace {

// Detect, disassemble, trim, encode, write; then read the written program back and assemble it.
// Returns the status of the first step that failed (PATCH_OK when all ran).
PatchStatus Pipeline(const QByteArray &image, QByteArray *encodedBytes, QByteArray *assembled)
{
    std::unique_ptr<LabeledProgram> program;
    const PatchStatus status = ParseDetectedExecutable(Data(image), size_t(image.size()), &program);
    if (status != PATCH_OK)
        return status;
    if (!program->TrimLabels())
        return PATCH_TRIM_ERROR;
    std::unique_ptr<EncodedProgram> encoded;
    if (!program->Encode(&encoded))
        return PATCH_DIFF_FAILED;
    program.reset();
    WriteStreamSet set;
    WriteStream linear;
    if (WriteEncodedProgram(*encoded, &set) != PATCH_OK || !set.CopyTo(&linear))
        return PATCH_STREAM_ERROR;
    if (encodedBytes != nullptr)
        *encodedBytes = QByteArray(reinterpret_cast<const char *>(linear.Data()), int(linear.Length()));
    ReadStreamSet readSet;
    if (!readSet.Parse(linear.Data(), linear.Length()))
        return PATCH_READ_PROGRAM_ERROR;
    std::unique_ptr<EncodedProgram> readBack;
    if (ReadEncodedProgram(&readSet, &readBack) != PATCH_OK)
        return PATCH_READ_PROGRAM_ERROR;
    WriteStream out;
    const PatchStatus assembly = AssembleEncodedProgram(readBack.get(), &out);
    if (assembled != nullptr)
        *assembled = QByteArray(reinterpret_cast<const char *>(out.Data()), int(out.Length()));
    return assembly;
}

} // namespace

class TestDisassembler : public QObject {
    Q_OBJECT

private slots:
    void fixtures_data();
    void fixtures();
    void unrecognisedBytes_data();
    void unrecognisedBytes();
    void damagedFixturesNeverCrash_data();
    void damagedFixturesNeverCrash();
};

void TestDisassembler::fixtures_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("wholeFile"); // the disassembled image is the whole file
    for (const char *version : {"v1", "v2"}) {
        const auto row = [&](const char *base, const char *suffix, int kind, bool whole) {
            const QString name =
                QStringLiteral("%1-%2%3").arg(QLatin1String(base), QLatin1String(version), QLatin1String(suffix));
            QTest::newRow(name.toUtf8().constData()) << name << kind << whole;
        };
        row("elf-x64-pie", "", ELF_64_X64, true);
        row("elf-x64", "", ELF_64_X64, true);
        row("elf-x86-pie", "", EXE_ELF_32_X86, true);
        row("elf-arm-pie", "", ELF_32_ARM, true);
        row("elf-thumb-pie", "", ELF_32_ARM, true);
        row("pe32", ".exe", WIN_32_X86, true);
        row("pe64", ".exe", WIN_32_X64, true);
        row("macho-x86", "", MACHO_X86, true);
        // The trailing __LINKEDIT segment has no sections, so it is not part of the image.
        row("macho-x64", "", MACHO_X64, false);
    }
}

void TestDisassembler::fixtures()
{
    QFETCH(QString, name);
    QFETCH(int, kind);
    QFETCH(bool, wholeFile);
    const QByteArray image = ExeFixture(name);
    QVERIFY2(!image.isEmpty(), qPrintable(name));
    QCOMPARE(DetectExecutableType(Data(image), size_t(image.size())), kind);

    std::unique_ptr<LabeledProgram> program;
    QCOMPARE(ParseDetectedExecutable(Data(image), size_t(image.size()), &program), PATCH_OK);
    QCOMPARE(program->kind(), kind);
    QVERIFY(!program->rel32_labels().empty());

    QByteArray encoded;
    QByteArray assembled;
    QCOMPARE(Pipeline(image, &encoded, &assembled), PATCH_OK);
    if (wholeFile) {
        QCOMPARE(assembled, image);
    } else {
        QVERIFY(assembled.size() < image.size());
        QCOMPARE(assembled, image.left(assembled.size()));
    }
    // The encoded form is a pure function of the bytes.
    QByteArray again;
    QCOMPARE(Pipeline(image, &again, nullptr), PATCH_OK);
    QCOMPARE(again, encoded);
}

void TestDisassembler::unrecognisedBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("text") << QByteArray("just some text, long enough to pass every size check of the headers....");
    QTest::newRow("fat Mach-O") << (QByteArray::fromHex("CAFEBABE") + QByteArray(60, '\0'));
    QTest::newRow("ELF object file") << ExeFixture(QStringLiteral("elf-x64-v1")).replace(16, 1, "\x01");
}

void TestDisassembler::unrecognisedBytes()
{
    QFETCH(QByteArray, bytes);
    std::unique_ptr<LabeledProgram> program;
    QCOMPARE(ParseDetectedExecutable(Data(bytes), size_t(bytes.size()), &program), PATCH_NOT_EXECUTABLE);
    QVERIFY(!program);
    QCOMPARE(DetectExecutableType(Data(bytes), size_t(bytes.size())), int(UNKNOWN));
}

void TestDisassembler::damagedFixturesNeverCrash_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"elf-x64-pie-v1", "elf-x64-v2", "elf-x86-pie-v1", "elf-arm-pie-v2", "elf-thumb-pie-v1",
                             "pe32-v1.exe", "pe64-v2.exe", "macho-x86-v1", "macho-x64-v2"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestDisassembler::damagedFixturesNeverCrash()
{
    QFETCH(QString, name);
    const QByteArray image = ExeFixture(name);
    QVERIFY(!image.isEmpty());
    // Every truncation length in steps, each copied so that ASan sees the exact end.
    for (int length = 0; length < image.size(); length += 7) {
        const QByteArray cut(image.constData(), length);
        const PatchStatus status = Pipeline(cut, nullptr, nullptr);
        QVERIFY(status != PATCH_TRIM_ERROR && status != PATCH_DIFF_FAILED && status != PATCH_STREAM_ERROR);
    }
    // Single bytes set to values that hurt headers most: 0, 0xFF and 0x80, at spread positions.
    uint32_t seed = 12345;
    for (int round = 0; round < 600; ++round) {
        seed = seed * 1103515245u + 12345u;
        QByteArray damaged = image;
        const int position = round < 300 ? int(seed % 512u) % image.size() : int(seed % uint32_t(image.size()));
        static const char values[] = {'\0', '\xFF', '\x80', '\x7F'};
        damaged[position] = values[(seed >> 16) % 4];
        const PatchStatus status = Pipeline(damaged, nullptr, nullptr);
        QVERIFY2(status == PATCH_OK || status == PATCH_NOT_EXECUTABLE || status == PATCH_DISASSEMBLY_ERROR ||
                     status == PATCH_ASSEMBLY_ERROR,
                 qPrintable(QStringLiteral("status %1 at %2").arg(int(status)).arg(position)));
    }
}

QTEST_APPLESS_MAIN(TestDisassembler)
#include "tst_disassembler.moc"
