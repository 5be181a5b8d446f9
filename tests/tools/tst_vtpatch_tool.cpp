// `vtpatch make-patch`, `apply`, `pack` and `unpack`, run as the built program: results, exit
// codes and the reasons on standard error.
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "enginetestutil.h"
#include "testfiles.h"
#include "testpaths.h"
#include "toolrunner.h"

using TestFiles::readFile;
using TestFiles::writeFile;
using ToolRunner::Run;

namespace {

QByteArray text(int lines, int seed)
{
    QByteArray bytes;
    for (int i = 0; i < lines; ++i)
        bytes += "line " + QByteArray::number(i * seed % 9973) + " of a text file\n";
    return bytes;
}

Run runVtpatch(const QStringList &arguments)
{
    return ToolRunner::runTool(QStringLiteral("vtpatch"), arguments);
}

QString fixture(const QString &name)
{
    return TestPaths::dataFile(QStringLiteral("exe/") + name);
}

// An installer-like file: data with five executables of four kinds embedded in it.
QByteArray bundle(const QString &v)
{
    const QByteArray data = text(40, 3);
    return data + readFile(fixture("elf-x86-pie-" + v)) + text(3, 5) + readFile(fixture("pe64-" + v + ".exe")) +
           readFile(fixture("macho-x86-" + v)) + data + readFile(fixture("elf-x64-pie-" + v)) +
           readFile(fixture("elf-thumb-pie-" + v)) + text(2, 9);
}

// The kinds of executable fixtures, one file each.
const char *const kFixtureKinds[] = {"elf-x64-pie-v1", "elf-x64-v2", "elf-x86-pie-v1", "elf-arm-pie-v2",
                                     "elf-thumb-pie-v1", "pe32-v2.exe", "pe64-v1.exe", "macho-x64-v1",
                                     "macho-x86-v2"};

} // namespace

class TestVtpatchTool : public QObject {
    Q_OBJECT

private slots:
    void init();
    void makePatchThenApply_data();
    void makePatchThenApply();
    void applyExitCodes_data();
    void applyExitCodes();
    void packThenUnpack_data();
    void packThenUnpack();
    void unpackFailures_data();
    void unpackFailures();
    void verboseUnpack();
    void usage_data();
    void usage();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestVtpatchTool::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestVtpatchTool::makePatchThenApply_data()
{
    // Fixture name, "bundle-v1"/"-v2", "broken-v1"/"-v2" (ELF that does not disassemble), or empty
    // for a text file.
    QTest::addColumn<QString>("oldFile");
    QTest::addColumn<QString>("newFile");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("note"); // expected on standard error; empty: nothing there
    QTest::newRow("text files") << QString() << QString() << "0 elements" << QStringList() << QString();
    QTest::newRow("ELF executables, the smaller patch") << "elf-x64-pie-v1" << "elf-x64-pie-v2" << "bytes"
                                                        << QStringList() << QString();
    QTest::newRow("ELF executables, --elements") << "elf-x64-pie-v1" << "elf-x64-pie-v2" << "1 element"
                                                 << QStringList{"--elements"} << QString();
    QTest::newRow("PE executables, --elements") << "pe32-v1.exe" << "pe32-v2.exe" << "1 element"
                                                << QStringList{"--elements"} << QString();
    QTest::newRow("bundle, the smallest patch") << "bundle-v1" << "bundle-v2" << "smallest of 3 candidates"
                                                << QStringList() << QString();
    QTest::newRow("bundle, --elements") << "bundle-v1" << "bundle-v2" << "5 elements" << QStringList{"--elements"}
                                        << QString();
    QTest::newRow("bundle, backwards, --elements") << "bundle-v2" << "bundle-v1" << "5 elements"
                                                   << QStringList{"--elements"} << QString();
    QTest::newRow("executables that do not disassemble")
        << "broken-v1" << "broken-v2" << "0 elements" << QStringList{"--elements"}
        << "is an executable that cannot be disassembled, so it was diffed byte by byte";
}

void TestVtpatchTool::makePatchThenApply()
{
    QFETCH(QString, oldFile);
    QFETCH(QString, newFile);
    QFETCH(QString, summary);
    QFETCH(QStringList, options);
    QFETCH(QString, note);
    const bool bundled = oldFile.startsWith(QLatin1String("bundle-"));
    const bool broken = oldFile.startsWith(QLatin1String("broken-"));
    const bool made = oldFile.isEmpty() || bundled || broken;
    const QString oldPath = made ? path("old") : fixture(oldFile);
    const QString newPath = made ? path("new") : fixture(newFile);
    if (oldFile.isEmpty()) {
        QVERIFY(writeFile(oldPath, text(3000, 7)));
        QVERIFY(writeFile(newPath, text(3100, 7)));
    } else if (bundled) {
        QVERIFY(writeFile(oldPath, bundle(oldFile.mid(7))));
        QVERIFY(writeFile(newPath, bundle(newFile.mid(7))));
    } else if (broken) {
        QVERIFY(writeFile(oldPath, EngineTestUtil::ElfWithOversizedSection("elf-x86-pie-" + oldFile.mid(7))));
        QVERIFY(writeFile(newPath, EngineTestUtil::ElfWithOversizedSection("elf-x86-pie-" + newFile.mid(7))));
    }
    const QByteArray oldBytes = readFile(oldPath);
    Run run = runVtpatch(QStringList{"make-patch", oldPath, newPath, path("patch")} + options);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.standardOutput.contains(summary), qPrintable(run.standardOutput));
    if (note.isEmpty())
        QVERIFY2(run.standardError.isEmpty(), qPrintable(run.standardError));
    else
        QVERIFY2(run.standardError.contains("'" + oldPath + "' " + note) &&
                     run.standardError.contains("'" + newPath + "' " + note),
                 qPrintable(run.standardError));
    run = runVtpatch({"apply", oldPath, path("patch"), path("result")});
    QVERIFY2(run.exitCode == 0, qPrintable(run.standardError));
    QVERIFY(readFile(path("result")) == readFile(newPath));
    QVERIFY(readFile(oldPath) == oldBytes);
}

void TestVtpatchTool::applyExitCodes_data()
{
    QTest::addColumn<QByteArray>("oldContent"); // null: no old file
    QTest::addColumn<QByteArray>("patch");      // null: no patch file; "good": a patch from old to new
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("reason");

    QTest::newRow("patch missing") << text(10, 1) << QByteArray() << 3 << "could not be opened";
    QTest::newRow("not a patch") << text(10, 1) << QByteArray("hello") << 5 << "not an ensemble patch";
    QTest::newRow("old file missing") << QByteArray() << QByteArray("good") << 4 << "old file could not be opened";
    QTest::newRow("old file differs") << text(10, 2) << QByteArray("good") << 8 << "checksum mismatch";
    QTest::newRow("other version") << text(10, 1) << QByteArray("\xc3\xde\xd5\x03\x01", 5) << 6 << "another ensemble version";
}

void TestVtpatchTool::applyExitCodes()
{
    QFETCH(QByteArray, oldContent);
    QFETCH(QByteArray, patch);
    QFETCH(int, exitCode);
    QFETCH(QString, reason);
    if (patch == "good") {
        QVERIFY(writeFile(path("a"), text(10, 1)));
        QVERIFY(writeFile(path("b"), text(12, 1)));
        QCOMPARE(runVtpatch({"make-patch", path("a"), path("b"), path("patch")}).exitCode, 0);
    } else if (!patch.isNull()) {
        QVERIFY(writeFile(path("patch"), patch));
    }
    if (!oldContent.isNull())
        QVERIFY(writeFile(path("old"), oldContent));
    const Run run = runVtpatch({"apply", path("old"), path("patch"), path("new")});
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.standardError.contains(reason), qPrintable(run.standardError));
    QVERIFY(run.standardError.contains(QStringLiteral("status %1").arg(exitCode)));
    QVERIFY(run.standardError.contains(path("patch")));
    QVERIFY(!QFile::exists(path("new")));
}

void TestVtpatchTool::packThenUnpack_data()
{
    QTest::addColumn<QString>("input"); // fixture name, "bundle", or empty for a text file
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("directive");
    QTest::newRow("text") << QString() << QStringList() << 0 << "directive 1";
    for (const char *kind : kFixtureKinds)
        QTest::newRow(kind) << QString::fromLatin1(kind) << QStringList() << 0 << "directive 2";
    QTest::newRow("bundle") << "bundle" << QStringList() << 0 << "directive 2";
    QTest::newRow("bundle, --directive 1") << "bundle" << QStringList{"--directive", "1"} << 0 << "directive 1";
    QTest::newRow("executable") << "elf-x86-pie-v1" << QStringList() << 0 << "directive 2";
    QTest::newRow("executable, --directive 1") << "elf-x86-pie-v1" << QStringList{"--directive", "1"} << 0
                                               << "directive 1";
    QTest::newRow("executable, --directive 2") << "macho-x64-v2" << QStringList{"--directive", "2"} << 0
                                               << "directive 2";
    QTest::newRow("text, --directive 2") << QString() << QStringList{"--directive", "2"} << 1 << "not an executable";
}

void TestVtpatchTool::packThenUnpack()
{
    QFETCH(QString, input);
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, directive);
    const QString inPath = input.isEmpty() || input == "bundle" ? path("in") : fixture(input);
    if (input.isEmpty())
        QVERIFY(writeFile(inPath, text(2000, 3)));
    else if (input == "bundle")
        QVERIFY(writeFile(inPath, bundle("v2")));
    Run run = runVtpatch(QStringList{"pack", inPath, path("c")} + options);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2((run.standardOutput + run.standardError).contains(directive),
             qPrintable(run.standardOutput + run.standardError));
    if (exitCode != 0) {
        QVERIFY(!QFile::exists(path("c")));
        return;
    }
    run = runVtpatch({"unpack", path("c"), path("out")});
    QVERIFY2(run.exitCode == 0, qPrintable(run.standardError));
    QVERIFY(readFile(path("out")) == readFile(inPath));
}

void TestVtpatchTool::unpackFailures_data()
{
    QTest::addColumn<QByteArray>("container"); // null: missing
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << QByteArray() << "could not open lzma file";
    QTest::newRow("two bytes") << QByteArray("\xe9\xae") << "could not read lzma header";
    QTest::newRow("ensemble patch") << QByteArray("\xc3\xde\xd5\x03\x00\x01", 6) << "not lzma file";
    QTest::newRow("directive 5") << QByteArray("\xe9\xae\xa8\x3f\x00\x05", 6) << "Unknown preprocessing dirrective";
}

void TestVtpatchTool::unpackFailures()
{
    QFETCH(QByteArray, container);
    QFETCH(QString, reason);
    if (!container.isNull())
        QVERIFY(writeFile(path("c"), container));
    const Run run = runVtpatch({"unpack", path("c"), path("out")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.standardError.contains(reason), qPrintable(run.standardError));
    QVERIFY(run.standardError.contains(path("c")));
    QVERIFY(!QFile::exists(path("out")));
}

void TestVtpatchTool::verboseUnpack()
{
    // unpack collects the engine's records to name the failure; --verbose must still show them
    // as they come, each once, and the summary line follows.
    QVERIFY(writeFile(path("c"), QByteArray("\xc3\xde\xd5\x03\x00\x01", 6)));
    Run run = runVtpatch({"unpack", path("c"), path("out")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(!run.standardError.contains("vtpatch ERROR: not lzma file"), qPrintable(run.standardError));
    run = runVtpatch({"--verbose", "unpack", path("c"), path("out")});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.standardError.count("vtpatch ERROR: not lzma file\n"), 1);
    QVERIFY2(run.standardError.contains("cannot unpack '" + path("c") + "'"), qPrintable(run.standardError));
    QVERIFY(!QFile::exists(path("out")));
}

void TestVtpatchTool::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");
    QTest::newRow("apply, too few") << QStringList{"apply", "a", "b"} << 64 << "usage: vtpatch apply OLD PATCH NEW";
    QTest::newRow("make-patch, option") << QStringList{"make-patch", "-x", "a", "b"} << 64 << "unknown option '-x'";
    QTest::newRow("unpack, too many") << QStringList{"unpack", "a", "b", "c"} << 64 << "usage: vtpatch unpack";
    QTest::newRow("pack, bad directive") << QStringList{"pack", "a", "b", "--directive", "3"} << 64
                                         << "--directive takes 1 or 2";
    QTest::newRow("apply --help") << QStringList{"apply", "--help"} << 0 << "Exit codes";
    QTest::newRow("pack --help") << QStringList{"pack", "--help"} << 0 << "--directive 1";
    QTest::newRow("make-patch --help") << QStringList{"make-patch", "--help"} << 0 << "embedded";
}

void TestVtpatchTool::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    const Run run = runVtpatch(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2((run.standardOutput + run.standardError).contains(output), qPrintable(run.standardError));
}

QTEST_GUILESS_MAIN(TestVtpatchTool)
#include "tst_vtpatch_tool.moc"
