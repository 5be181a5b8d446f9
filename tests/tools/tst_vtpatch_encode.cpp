// `vtpatch encode` and `vtpatch info` as a publisher runs them: the written stream set is the
// element's transformed form exactly as the engine computes it, and bad input gives the
// documented exit codes with the file named in the message.
#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>

#include <memory>

#include "create/program_writer.h"
#include "lib/encoded_program.h"
#include "lib/streams.h"
#include "testpaths.h"

namespace {

struct Result {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Result Run(const QStringList &args)
{
    QProcess process;
    process.start(TestPaths::binDir() + QStringLiteral("/vtpatch"), args);
    Result result;
    if (!process.waitForFinished(60000))
        return result;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QString Fixture(const char *name)
{
    return TestPaths::dataFile(QStringLiteral("exe/") + QLatin1String(name));
}

} // namespace

class TestVtpatchEncode : public QObject {
    Q_OBJECT

private slots:
    void encodeWritesTheTransformedForm();
    void infoDescribesTheExecutable();
    void failures_data();
    void failures();
};

void TestVtpatchEncode::encodeWritesTheTransformedForm()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString out = dir.filePath(QStringLiteral("elf.encoded"));
    const Result result = Run({QStringLiteral("encode"), Fixture("elf-x86-pie-v2"), out});
    QCOMPARE(result.exitCode, 0);

    QFile input(Fixture("elf-x86-pie-v2"));
    QVERIFY(input.open(QIODevice::ReadOnly));
    const QByteArray bytes = input.readAll();
    std::unique_ptr<vtpatch::EncodedProgram> program;
    int kind = 0;
    QCOMPARE(vtpatch::EncodeExecutable(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()),
                                       &program, &kind),
             vtpatch::PATCH_OK);
    vtpatch::WriteStream expected;
    QVERIFY(vtpatch::WriteLinearEncodedProgram(*program, &expected));
    QFile written(out);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), QByteArray(reinterpret_cast<const char *>(expected.Data()), int(expected.Length())));
}

void TestVtpatchEncode::infoDescribesTheExecutable()
{
    const Result result = Run({QStringLiteral("info"), Fixture("pe64-v1.exe")});
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.out.contains("kind:            4 (PE32+ x86-64)"), result.out.constData());
    QVERIFY2(result.out.contains("identical to the file"), result.out.constData());
    QVERIFY(result.out.contains("rel32 labels:"));
}

void TestVtpatchEncode::failures_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    const QString readme = TestPaths::dataFile(QStringLiteral("exe/README.md"));
    QTest::newRow("not an executable") << QStringList{"info", readme} << 24
                                       << readme + " is not a recognised executable";
    QTest::newRow("missing file") << QStringList{"encode", "/nonexistent/x", "/tmp/y"} << 1
                                  << "cannot read /nonexistent/x";
    QTest::newRow("unwritable output") << QStringList{"encode", Fixture("elf-x64-v1"), "/nonexistent/dir/out"} << 1
                                       << "cannot write /nonexistent/dir/out";
    QTest::newRow("missing argument") << QStringList{"encode", Fixture("elf-x64-v1")} << 64 << "usage: vtpatch encode";
}

void TestVtpatchEncode::failures()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const Result result = Run(args);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(QString::fromLocal8Bit(result.err).contains(message), result.err.constData());
}

QTEST_GUILESS_MAIN(TestVtpatchEncode)
#include "tst_vtpatch_encode.moc"
