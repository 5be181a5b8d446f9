#include "configuration.h"
#include "filedeletelisttaskspecification.h"
#include "fileopstestutil.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace FileOpsTestUtil;

class TestFileDeleteListTaskSpecification : public QObject {
    Q_OBJECT

private slots:
    void init();

    void emptyListFinishesAtOnce();
    void deletesEveryEntryAndToleratesFailures();
    void resetBuildsAFreshRun();

private:
    QString install(const QString &name) const { return m_Install->filePath(name); }
    QStringList texts(const QSignalSpy &spy) const;

    QScopedPointer<QTemporaryDir> m_Install;
    QScopedPointer<Configuration> m_Config;
};

void TestFileDeleteListTaskSpecification::init()
{
    m_Install.reset(new QTemporaryDir);
    QVERIFY(m_Install->isValid());
    QVERIFY(writeFile(install("update"), "the updater stays"));
    m_Config.reset(new Configuration);
    m_Config->m_InstallDir = m_Install->path();
}

QStringList TestFileDeleteListTaskSpecification::texts(const QSignalSpy &spy) const
{
    QStringList result;
    for (const QList<QVariant> &arguments : spy) {
        result << arguments.at(0).toString();
    }
    return result;
}

void TestFileDeleteListTaskSpecification::emptyListFinishesAtOnce()
{
    const DeleteList list;
    FileDeleteListTaskSpecification task(&list, m_Config.data(), nullptr, 0.05);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(task.m_Progress, 0.05);
    QCOMPARE(texts(messages), QStringList("Starting deleting files"));
}

void TestFileDeleteListTaskSpecification::deletesEveryEntryAndToleratesFailures()
{
    QTemporaryDir outside;
    QVERIFY(writeFile(outside.filePath("absolute"), "x"));
    QVERIFY(writeFile(install("old.so"), "x"));
    QVERIFY(QDir(m_Install->path()).mkpath("plugins/sub"));
    QVERIFY(writeFile(install("plugins/sub/p.so"), "x"));
    QVERIFY(QDir(m_Install->path()).mkpath("keep"));
    QVERIFY(writeFile(install("keep/file"), "x"));

    const DeleteList list = {
        {"old.so", false},
        {"plugins", true},
        {"keep", false},    // not empty and not recursive: fails, which the list tolerates
        {"missing", false}, // nothing there: tolerated
        {outside.filePath("absolute"), false},
    };
    FileDeleteListTaskSpecification task(&list, m_Config.data(), nullptr, 0.05);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy errors(&task, &TaskSpecification::error);
    QCOMPARE(runToEnd(&task), int(TASK_FINISHED));
    QCOMPARE(task.m_Progress, 0.05);
    QCOMPARE(errors.count(), 0);

    QCOMPARE(task.subtasks().size(), 5);
    for (const TaskSpecification *subtask : task.subtasks()) {
        QCOMPARE(subtask->m_Weight, 1.0 / 5);
        QCOMPARE(subtask->m_TaskState, int(TASK_FINISHED));
    }
    QCOMPARE(texts(messages),
             QStringList({"Starting deleting files", QStringLiteral("Deleted file '%1'").arg(install("old.so")),
                          QStringLiteral("Recursively deleted directory '%1'").arg(install("plugins")),
                          QStringLiteral("Deleted file '%1'").arg(outside.filePath("absolute"))}));
    QVERIFY(!QFileInfo::exists(install("old.so")));
    QVERIFY(!QFileInfo::exists(install("plugins")));
    QVERIFY(!QFileInfo::exists(outside.filePath("absolute")));
    QVERIFY(QFileInfo::exists(install("keep/file")));
    QVERIFY(QFileInfo::exists(install("update")));
}

void TestFileDeleteListTaskSpecification::resetBuildsAFreshRun()
{
    QVERIFY(writeFile(install("a"), "x"));
    const DeleteList list = {{"a", false}};
    FileDeleteListTaskSpecification task(&list, m_Config.data(), nullptr, 1.0);
    QCOMPARE(runToEnd(&task), int(TASK_FINISHED));

    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.reset();
    QCOMPARE(task.m_TaskState, int(TASK_IDLE));
    QVERIFY(task.subtasks().isEmpty());
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toReal(), 0.0);

    QVERIFY(writeFile(install("a"), "x"));
    QCOMPARE(runToEnd(&task), int(TASK_FINISHED));
    QCOMPARE(task.subtasks().size(), 1);
    QVERIFY(!QFileInfo::exists(install("a")));
}

QTEST_GUILESS_MAIN(TestFileDeleteListTaskSpecification)
#include "tst_filedeletelisttaskspecification.moc"
