#include "filedeletetaskspecification.h"
#include "fileopstestutil.h"
#include "readonlydirguard.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace FileOpsTestUtil;

class TestFileDeleteTaskSpecification : public QObject {
    Q_OBJECT

private slots:
    void init();

    void deletes_data();
    void deletes();
    void symlinkToDirectoryIsNotFollowed();
    void failureWithoutWritePermission();

private:
    QString expand(QString text) const { return text.replace(QLatin1String("$ROOT"), m_Dir->path()); }

    QScopedPointer<QTemporaryDir> m_Dir;
};

void TestFileDeleteTaskSpecification::init()
{
    m_Dir.reset(new QTemporaryDir);
    QVERIFY(m_Dir->isValid());
    // Keeps the temporary directory itself from becoming an empty parent that a non-recursive
    // directory deletion would remove as well.
    QVERIFY(writeFile(m_Dir->filePath("sentinel"), "s"));
}

void TestFileDeleteTaskSpecification::deletes_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("dirs");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("recursive");
    QTest::addColumn<bool>("failIfNotDeleted");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("gone");
    QTest::addColumn<QStringList>("kept");

    QTest::newRow("file") << QStringList{"f"} << QStringList() << "f" << false << true << true
                          << QStringList{"Deleted file '$ROOT/f'"} << QStringList{"f"} << QStringList();
    QTest::newRow("missing path tolerated") << QStringList() << QStringList() << "missing" << false << false << true
                                            << QStringList() << QStringList() << QStringList();
    QTest::newRow("missing path required")
        << QStringList() << QStringList() << "missing" << false << true << false
        << QStringList{"Could not delete '$ROOT/missing'"} << QStringList() << QStringList();
    QTest::newRow("non-empty directory without recursion tolerated")
        << QStringList{"d/f"} << QStringList{"d"} << "d" << false << false << true << QStringList() << QStringList()
        << QStringList{"d/f"};
    QTest::newRow("non-empty directory without recursion required")
        << QStringList{"d/f"} << QStringList{"d"} << "d" << false << true << false
        << QStringList{"Could not delete '$ROOT/d'"} << QStringList() << QStringList{"d/f"};
    QTest::newRow("directory with contents, recursive")
        << QStringList{"d/f", "d/e/g"} << QStringList{"d/e"} << "d" << true << true << true
        << QStringList{"Recursively deleted directory '$ROOT/d'"} << QStringList{"d"} << QStringList{"sentinel"};
    QTest::newRow("empty directory takes its emptied parent along")
        << QStringList() << QStringList{"x/y"} << "x/y" << false << true << true
        << QStringList{"Deleted directory '$ROOT/x/y'"} << QStringList{"x"} << QStringList{"sentinel"};
    QTest::newRow("empty directory leaves a parent that still holds files")
        << QStringList{"x/keep"} << QStringList{"x/y"} << "x/y" << false << true << true
        << QStringList{"Deleted directory '$ROOT/x/y'"} << QStringList{"x/y"} << QStringList{"x/keep"};
}

void TestFileDeleteTaskSpecification::deletes()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, dirs);
    QFETCH(QString, path);
    QFETCH(bool, recursive);
    QFETCH(bool, failIfNotDeleted);
    QFETCH(bool, succeeds);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, gone);
    QFETCH(QStringList, kept);

    for (const QString &dir : dirs) {
        QVERIFY(QDir(m_Dir->path()).mkpath(dir));
    }
    for (const QString &file : files) {
        QVERIFY(QDir(m_Dir->path()).mkpath(QFileInfo(file).path()));
        QVERIFY(writeFile(m_Dir->filePath(file), "x"));
    }
    FileDeleteTaskSpecification task(failIfNotDeleted, m_Dir->filePath(path), recursive, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messageSpy(&task, &TaskSpecification::message);
    QSignalSpy errors(&task, &TaskSpecification::error);

    task.execute();
    QCOMPARE(finished.count(), succeeds ? 1 : 0);
    QCOMPARE(canceled.count(), succeeds ? 0 : 1);
    QCOMPARE(task.m_TaskState, int(succeeds ? TASK_FINISHED : TASK_FAILED));
    QCOMPARE(errors.count(), 0);
    QStringList texts;
    for (const QList<QVariant> &arguments : qAsConst(messageSpy)) {
        texts << arguments.at(0).toString();
    }
    QStringList expected;
    for (const QString &text : qAsConst(messages)) {
        expected << expand(text);
    }
    QCOMPARE(texts, expected);
    for (const QString &name : gone) {
        QVERIFY2(!QFileInfo::exists(m_Dir->filePath(name)), qPrintable(name));
    }
    for (const QString &name : kept) {
        QVERIFY2(QFileInfo::exists(m_Dir->filePath(name)), qPrintable(name));
    }
}

void TestFileDeleteTaskSpecification::symlinkToDirectoryIsNotFollowed()
{
    // A link in the installation that points elsewhere: the recursive delete removes the link only.
    QTemporaryDir elsewhere;
    QVERIFY(writeFile(elsewhere.filePath("precious"), "p"));
    QVERIFY(QFile::link(elsewhere.path(), m_Dir->filePath("link")));

    FileDeleteTaskSpecification task(true, m_Dir->filePath("link"), true, nullptr, 1.0);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(task.m_TaskState, int(TASK_FINISHED));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Deleted file '%1'").arg(m_Dir->filePath("link")));
    QVERIFY(!QFileInfo(m_Dir->filePath("link")).isSymLink());
    QCOMPARE(readFile(elsewhere.filePath("precious")), QByteArray("p"));
}

void TestFileDeleteTaskSpecification::failureWithoutWritePermission()
{
    QVERIFY(QDir(m_Dir->path()).mkdir("ro"));
    QVERIFY(writeFile(m_Dir->filePath("ro/f"), "x"));
    ReadOnlyDirGuard guard(m_Dir->filePath("ro"));
    if (!guard.blocksWrites()) {
        QSKIP("running as root: permission bits do not stop deletion");
    }
    FileDeleteTaskSpecification task(true, m_Dir->filePath("ro/f"), false, nullptr, 1.0);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(task.m_TaskState, int(TASK_FAILED));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Could not delete '%1'").arg(m_Dir->filePath("ro/f")));
    QVERIFY(QFileInfo::exists(m_Dir->filePath("ro/f")));
}

QTEST_GUILESS_MAIN(TestFileDeleteTaskSpecification)
#include "tst_filedeletetaskspecification.moc"
