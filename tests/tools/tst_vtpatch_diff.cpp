// `vtpatch diff` and `vtpatch patch`, run as the built program.
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "testfiles.h"
#include "testpaths.h"
#include "toolrunner.h"

using TestFiles::randomBytes;
using TestFiles::readFile;
using TestFiles::writeFile;
using ToolRunner::Run;

namespace {

Run vtpatch(const QStringList &arguments)
{
    return ToolRunner::runTool(QStringLiteral("vtpatch"), arguments);
}

} // namespace

class TestVtpatchDiff : public QObject {
    Q_OBJECT

private slots:
    void init();
    void roundTrip_data();
    void roundTrip();
    void usage_data();
    void usage();
    void unreadableInputs_data();
    void unreadableInputs();
    void badPatchLeavesNewAlone_data();
    void badPatchLeavesNewAlone();
    void verboseShowsTheEngineReason();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestVtpatchDiff::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestVtpatchDiff::roundTrip_data()
{
    QTest::addColumn<QByteArray>("oldBytes");
    QTest::addColumn<QByteArray>("newBytes");
    const QByteArray base = randomBytes(100000, 1);
    QTest::newRow("both empty") << QByteArray() << QByteArray();
    QTest::newRow("old empty") << QByteArray() << base.left(300);
    QTest::newRow("new empty") << base.left(300) << QByteArray();
    QTest::newRow("edited") << base << base.left(40000) + "an insertion" + base.mid(41000);
}

void TestVtpatchDiff::roundTrip()
{
    QFETCH(QByteArray, oldBytes);
    QFETCH(QByteArray, newBytes);
    QVERIFY(writeFile(path("old"), oldBytes));
    QVERIFY(writeFile(path("new"), newBytes));
    Run run = vtpatch({"diff", path("old"), path("new"), path("patch")});
    QVERIFY2(run.exitCode == 0, qPrintable(run.standardError));
    QVERIFY(readFile(path("patch")).startsWith("VTDIFF10"));
    run = vtpatch({"patch", path("old"), path("patch"), path("result")});
    QVERIFY2(run.exitCode == 0, qPrintable(run.standardError));
    QVERIFY(readFile(path("result")) == newBytes);
    QVERIFY(readFile(path("old")) == oldBytes);
    QVERIFY(QDir(m_dir->path()).entryList(QDir::Files).size() == 4); // no temporary files left
}

void TestVtpatchDiff::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected"); // in standard error, or standard output for --help
    QTest::newRow("diff, two arguments") << QStringList{"diff", "a", "b"} << 64 << "usage: vtpatch diff OLD NEW PATCH";
    QTest::newRow("patch, four arguments")
        << QStringList{"patch", "a", "b", "c", "d"} << 64 << "usage: vtpatch patch OLD PATCH NEW";
    QTest::newRow("unknown option") << QStringList{"diff", "--fast", "b", "c"} << 64 << "unknown option '--fast'";
    QTest::newRow("diff --help") << QStringList{"diff", "--help"} << 0 << "VTDIFF10";
    QTest::newRow("patch --help") << QStringList{"patch", "--help"} << 0 << "usage: vtpatch patch OLD PATCH NEW";
}

void TestVtpatchDiff::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    const Run run = vtpatch(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2((exitCode == 0 ? run.standardOutput : run.standardError).contains(expected),
             qPrintable(run.standardError + run.standardOutput));
}

void TestVtpatchDiff::unreadableInputs_data()
{
    QTest::addColumn<QStringList>("arguments"); // file names in the temporary directory
    QTest::addColumn<QString>("named");         // the one the message must name
    QTest::newRow("diff, OLD missing") << QStringList{"diff", "missing", "new", "out"} << "missing";
    QTest::newRow("diff, NEW missing") << QStringList{"diff", "old", "missing", "out"} << "missing";
    QTest::newRow("diff, PATCH in a missing directory")
        << QStringList{"diff", "old", "new", "nodir/out"} << "nodir/out";
    QTest::newRow("patch, OLD missing") << QStringList{"patch", "missing", "patch", "out"} << "missing";
    QTest::newRow("patch, PATCH missing") << QStringList{"patch", "old", "missing", "out"} << "missing";
    QTest::newRow("patch, OLD a directory") << QStringList{"patch", "dir", "patch", "out"} << "dir";
    QTest::newRow("patch, NEW in a missing directory")
        << QStringList{"patch", "old", "patch", "nodir/out"} << "nodir/out";
}

void TestVtpatchDiff::unreadableInputs()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, named);
    QVERIFY(writeFile(path("old"), "old bytes"));
    QVERIFY(writeFile(path("new"), "new bytes"));
    QVERIFY(QDir(m_dir->path()).mkdir("dir"));
    QVERIFY(vtpatch({"diff", path("old"), path("new"), path("patch")}).exitCode == 0);
    for (int i = 1; i < arguments.size(); ++i) {
        arguments[i] = path(arguments[i]);
    }
    const Run run = vtpatch(arguments);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.standardError.contains(QLatin1Char('\'') + path(named) + QLatin1Char('\'')),
             qPrintable(run.standardError));
    QVERIFY(!QFile::exists(path("out")));
}

void TestVtpatchDiff::badPatchLeavesNewAlone_data()
{
    QTest::addColumn<QString>("damage");
    QTest::newRow("truncated") << "truncated";
    QTest::newRow("byte flipped") << "flipped";
    QTest::newRow("trailing bytes") << "trailing";
    QTest::newRow("other old file") << "other-old";
    QTest::newRow("empty patch") << "empty";
}

void TestVtpatchDiff::badPatchLeavesNewAlone()
{
    QFETCH(QString, damage);
    const QByteArray oldBytes = randomBytes(20000, 2);
    QByteArray newBytes = oldBytes;
    newBytes[100] = 'x';
    newBytes.append("tail");
    QVERIFY(writeFile(path("old"), oldBytes));
    QVERIFY(writeFile(path("new"), newBytes));
    QVERIFY(vtpatch({"diff", path("old"), path("new"), path("patch")}).exitCode == 0);
    QByteArray patch = readFile(path("patch"));
    QByteArray old = oldBytes;
    if (damage == "truncated") {
        patch.chop(3);
    } else if (damage == "flipped") {
        patch[patch.size() / 2] = static_cast<char>(patch.at(patch.size() / 2) ^ 0x10);
    } else if (damage == "trailing") {
        patch.append("junk");
    } else if (damage == "other-old") {
        old[5000] = static_cast<char>(old.at(5000) ^ 1);
    } else {
        patch.clear();
    }
    QVERIFY(writeFile(path("patch"), patch));
    QVERIFY(writeFile(path("old"), old));
    QVERIFY(writeFile(path("out"), "previous content"));

    const Run run = vtpatch({"patch", path("old"), path("patch"), path("out")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.standardError.contains(path("patch")), qPrintable(run.standardError));
    QCOMPARE(readFile(path("out")), QByteArray("previous content"));
    QVERIFY(readFile(path("old")) == old);
}

void TestVtpatchDiff::verboseShowsTheEngineReason()
{
    QVERIFY(writeFile(path("old"), "abc"));
    QVERIFY(writeFile(path("patch"), "VTDIFF99 not a diff"));
    const Run run = vtpatch({"--verbose", "patch", path("old"), path("patch"), path("out")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.standardError.contains("Corrupt patch header"), qPrintable(run.standardError));
}

QTEST_GUILESS_MAIN(TestVtpatchDiff)
#include "tst_vtpatch_diff.moc"
