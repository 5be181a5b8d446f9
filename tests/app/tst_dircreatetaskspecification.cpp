#include "dircreatetaskspecification.h"
#include "fileopstestutil.h"
#include "readonlydirguard.h"
#include "rollback.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace FileOpsTestUtil;

class TestDirCreateTaskSpecification : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void createsMissingLevels_data();
    void createsMissingLevels();
    void failures_data();
    void failures();
    void directoryWithoutWritePermission();

private:
    // "$ROOT" in table texts stands for the temporary directory.
    QString expand(QString text) const { return text.replace(QLatin1String("$ROOT"), m_Dir->path()); }
    QStringList expandRecords(const QStringList &dirs) const;

    QScopedPointer<QTemporaryDir> m_Dir;
    QString m_OldCurrent;
};

void TestDirCreateTaskSpecification::init()
{
    m_Dir.reset(new QTemporaryDir);
    QVERIFY(m_Dir->isValid());
    // Relative names resolve here, so a test that went wrong cannot litter the build tree.
    m_OldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_Dir->path()));
}

void TestDirCreateTaskSpecification::cleanup()
{
    QDir::setCurrent(m_OldCurrent);
    m_Dir.reset();
}

QStringList TestDirCreateTaskSpecification::expandRecords(const QStringList &dirs) const
{
    QStringList lines;
    for (const QString &dir : dirs) {
        lines << QStringLiteral("DIR_CREATE ") + expand(dir);
    }
    return lines;
}

void TestDirCreateTaskSpecification::createsMissingLevels_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("records");

    QTest::newRow("existing directory records nothing") << QStringList{"a"} << "$ROOT/a" << QStringList();
    QTest::newRow("one new level") << QStringList() << "$ROOT/a" << QStringList{"$ROOT/a"};
    QTest::newRow("outermost new level first")
        << QStringList{"a"} << "$ROOT/a/b/c" << QStringList{"$ROOT/a/b", "$ROOT/a/b/c"};
    QTest::newRow("trailing slash") << QStringList{"a"} << "$ROOT/a/b/" << QStringList{"$ROOT/a/b"};
    QTest::newRow("relative path with an existing parent")
        << QStringList{"a"} << "a/b/c" << QStringList{"a/b", "a/b/c"};
}

void TestDirCreateTaskSpecification::createsMissingLevels()
{
    QFETCH(QStringList, existing);
    QFETCH(QString, path);
    QFETCH(QStringList, records);

    for (const QString &dir : existing) {
        QVERIFY(QDir(m_Dir->path()).mkpath(dir));
    }
    RollbackDataList journal;
    DirCreateTaskSpecification task(expand(path), &journal, nullptr, 0.5);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy messages(&task, &TaskSpecification::message);

    task.execute();
    QCOMPARE(finished.count(), 1); // reported before execute() returned
    QCOMPARE(task.m_TaskState, int(TASK_FINISHED));
    QCOMPARE(task.m_Progress, 0.5);
    QCOMPARE(messages.count(), 0);
    QVERIFY(QFileInfo(expand(path)).isDir());
    QCOMPARE(journalText(journal), expandRecords(records));

    // Innermost first: a parent is only removed once its new child is gone, else a warning appears.
    QSignalSpy warnings(&task, &TaskSpecification::message);
    QVERIFY(journal.rollback(&task));
    QCOMPARE(warnings.count(), 0);
    for (const QString &dir : records) {
        QVERIFY2(!QFileInfo::exists(expand(dir)), qPrintable(dir));
    }
    for (const QString &dir : existing) {
        QVERIFY(QFileInfo(m_Dir->filePath(dir)).isDir());
    }
}

void TestDirCreateTaskSpecification::failures_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("dirs");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("records"); // levels made before the failure stay journaled

    const QString longName(300, QLatin1Char('n'));
    QTest::newRow("name taken by a plain file")
        << QStringList{"f"} << QStringList() << "$ROOT/f"
        << "Could not create dir '$ROOT/f' because it already exists and is not a dir" << QStringList();
    QTest::newRow("bare name") << QStringList() << QStringList() << "newdir"
                               << "Could not create dir newdir" << QStringList();
    QTest::newRow("relative path without parent names the task's path") << QStringList() << QStringList() << "x/y"
                                                                        << "Could not create dir x/y" << QStringList();
    QTest::newRow("path under a regular file")
        << QStringList{"f"} << QStringList() << "$ROOT/f/sub/deeper"
        << "Could not create dir '$ROOT/f' because it already exists and is not a dir" << QStringList();
    QTest::newRow("innermost level fails after an outer one was made")
        << QStringList() << QStringList{"a"} << "$ROOT/a/new/" + longName
        << "unable to create dir $ROOT/a/new/" + longName << QStringList{"$ROOT/a/new"};
}

void TestDirCreateTaskSpecification::failures()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, dirs);
    QFETCH(QString, path);
    QFETCH(QString, message);
    QFETCH(QStringList, records);

    for (const QString &dir : dirs) {
        QVERIFY(QDir(m_Dir->path()).mkpath(dir));
    }
    for (const QString &file : files) {
        QVERIFY(writeFile(m_Dir->filePath(file), "x"));
    }
    RollbackDataList journal;
    DirCreateTaskSpecification task(expand(path), &journal, nullptr, 1.0);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy errors(&task, &TaskSpecification::error);
    QSignalSpy messages(&task, &TaskSpecification::message);

    task.execute();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task.m_TaskState, int(TASK_FAILED));
    QCOMPARE(errors.count(), 0);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), expand(message));
    QCOMPARE(journalText(journal), expandRecords(records));
    for (const QString &file : files) {
        QCOMPARE(readFile(m_Dir->filePath(file)), QByteArray("x"));
    }
}

void TestDirCreateTaskSpecification::directoryWithoutWritePermission()
{
    QVERIFY(QDir(m_Dir->path()).mkdir("ro"));
    const QString path = m_Dir->filePath("ro/sub/deeper");
    ReadOnlyDirGuard guard(m_Dir->filePath("ro"));
    if (!guard.blocksWrites()) {
        QSKIP("running as root: permission bits do not stop directory creation");
    }
    RollbackDataList journal;
    DirCreateTaskSpecification task(path, &journal, nullptr, 1.0);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(task.m_TaskState, int(TASK_FAILED));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("unable to create dir %1").arg(m_Dir->filePath("ro/sub")));
    QVERIFY(journal.isEmpty());
}

QTEST_GUILESS_MAIN(TestDirCreateTaskSpecification)
#include "tst_dircreatetaskspecification.moc"
