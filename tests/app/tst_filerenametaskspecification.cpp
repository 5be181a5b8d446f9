#include "filerenametaskspecification.h"
#include "fileopstestutil.h"
#include "rollback.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace FileOpsTestUtil;

class TestFileRenameTaskSpecification : public QObject {
    Q_OBJECT

private slots:
    void init();

    void renamesAndJournals_data();
    void renamesAndJournals();
    void failures_data();
    void failures();

private:
    QString path(const QString &name) const { return m_Dir->filePath(name); }

    QScopedPointer<QTemporaryDir> m_Dir;
};

void TestFileRenameTaskSpecification::init()
{
    m_Dir.reset(new QTemporaryDir);
    QVERIFY(m_Dir->isValid());
}

void TestFileRenameTaskSpecification::renamesAndJournals_data()
{
    QTest::addColumn<QString>("newName");
    QTest::newRow("same directory") << "new";
    QTest::newRow("missing directory level is made") << "sub/new";
}

void TestFileRenameTaskSpecification::renamesAndJournals()
{
    QFETCH(QString, newName);
    QVERIFY(writeFile(path("old"), "content"));

    RollbackDataList journal;
    FileRenameTaskSpecification task(path("old"), path(newName), &journal, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(messages.count(), 0);
    QCOMPARE(readFile(path(newName)), QByteArray("content"));
    QVERIFY(!QFileInfo::exists(path("old")));
    // The directory made for the new name is not journaled; only the rename is.
    QCOMPARE(journalText(journal), QStringList(QStringLiteral("FILE_RENAME %1 -> %2").arg(path("old"), path(newName))));

    QVERIFY(journal.rollback(&task));
    QCOMPARE(readFile(path("old")), QByteArray("content"));
    QVERIFY(!QFileInfo::exists(path(newName)));
}

void TestFileRenameTaskSpecification::failures_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("oldName");
    QTest::addColumn<QString>("newName");

    QTest::newRow("new name exists") << QStringList{"old", "new"} << "old"
                                     << "new";
    QTest::newRow("old name missing") << QStringList() << "old"
                                      << "new";
    QTest::newRow("grandparent of the new name missing") << QStringList{"old"} << "old"
                                                         << "a/b/new";
}

void TestFileRenameTaskSpecification::failures()
{
    QFETCH(QStringList, files);
    QFETCH(QString, oldName);
    QFETCH(QString, newName);
    for (const QString &file : files) {
        QVERIFY(writeFile(path(file), file.toUtf8()));
    }

    RollbackDataList journal;
    FileRenameTaskSpecification task(path(oldName), path(newName), &journal, nullptr, 1.0);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task.m_TaskState, int(TASK_FAILED));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("Could not rename '%1' to '%2'").arg(path(oldName), path(newName)));
    QVERIFY(journal.isEmpty());
    for (const QString &file : files) {
        QCOMPARE(readFile(path(file)), file.toUtf8());
    }
}

QTEST_GUILESS_MAIN(TestFileRenameTaskSpecification)
#include "tst_filerenametaskspecification.moc"
