#include "filecopytaskspecification.h"
#include "fileopstestutil.h"
#include "rollback.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace FileOpsTestUtil;

class TestFileCopyTaskSpecification : public QObject {
    Q_OBJECT

private slots:
    void init();

    void copiesAndJournals_data();
    void copiesAndJournals();
    void failures_data();
    void failures();

private:
    QString path(const QString &name) const { return m_Dir->filePath(name); }

    QScopedPointer<QTemporaryDir> m_Dir;
};

void TestFileCopyTaskSpecification::init()
{
    m_Dir.reset(new QTemporaryDir);
    QVERIFY(m_Dir->isValid());
}

void TestFileCopyTaskSpecification::copiesAndJournals_data()
{
    QTest::addColumn<bool>("withJournal");
    QTest::newRow("with journal") << true;
    QTest::newRow("without journal") << false;
}

void TestFileCopyTaskSpecification::copiesAndJournals()
{
    QFETCH(bool, withJournal);
    QByteArray content(300 * 1024, '\0');
    for (int i = 0; i < content.size(); ++i) {
        content[i] = char(i * 31 % 251);
    }
    QVERIFY(writeFile(path("src"), content));

    RollbackDataList journal;
    FileCopyTaskSpecification task(withJournal ? &journal : nullptr, path("src"), path("dst"), nullptr, 0.25);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(task.m_TaskState, int(TASK_RUNNING));
    QVERIFY(finished.wait());
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(messages.count(), 0);
    QCOMPARE(task.m_Progress, 0.25);
    QCOMPARE(readFile(path("dst")), content);
    QCOMPARE(journalText(journal),
             withJournal ? QStringList(QStringLiteral("FILE_CREATE %1").arg(path("dst"))) : QStringList());
}

void TestFileCopyTaskSpecification::failures_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");

    QTest::newRow("destination exists") << QStringList{"src", "dst"} << "src"
                                        << "dst";
    QTest::newRow("destination directory missing") << QStringList{"src"} << "src"
                                                   << "missing/dst";
    QTest::newRow("source missing") << QStringList() << "src"
                                    << "dst";
    QTest::newRow("destination under a regular file") << QStringList{"src", "file"} << "src"
                                                      << "file/dst";
}

void TestFileCopyTaskSpecification::failures()
{
    QFETCH(QStringList, files);
    QFETCH(QString, source);
    QFETCH(QString, destination);
    for (const QString &file : files) {
        QVERIFY(writeFile(path(file), file.toUtf8()));
    }

    RollbackDataList journal;
    FileCopyTaskSpecification task(&journal, path(source), path(destination), nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy errors(&task, &TaskSpecification::error);
    task.execute();
    QVERIFY(canceled.wait());
    QCOMPARE(finished.count(), 0);
    QCOMPARE(task.m_TaskState, int(TASK_FAILED));
    QCOMPARE(errors.count(), 0);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("Could not copy '%1' to '%2'").arg(path(source), path(destination)));
    QVERIFY(journal.isEmpty());
    // Nothing half-written: an existing destination keeps its content, a new one does not appear.
    for (const QString &file : files) {
        QCOMPARE(readFile(path(file)), file.toUtf8());
    }
    if (!files.contains(destination)) {
        QVERIFY(!QFileInfo::exists(path(destination)));
    }
    QCOMPARE(QDir(m_Dir->path()).entryList(QDir::Files | QDir::Hidden).size(), files.size());
}

QTEST_GUILESS_MAIN(TestFileCopyTaskSpecification)
#include "tst_filecopytaskspecification.moc"
