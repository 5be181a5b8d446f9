#include "taskspecification.h"

#include "tasktesthelpers.h"

#include <QSignalSpy>
#include <QtTest>

// The base contract every task relies on: states, weighted progress, the reporting operations and the
// cancellation rules.
class TestTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void constructedIdle();
    void weightedProgress_data();
    void weightedProgress();
    void endsOfARun_data();
    void endsOfARun();
    void cancelOutsideARunOnlyRecords_data();
    void cancelOutsideARunOnlyRecords();
    void resetReturnsToIdle();
    void otherTaskCancelledReachesOnlyRunningOthers();
    void downloadStatusIsZero();
};

void TestTaskSpecification::constructedIdle()
{
    QObject parent;
    ManualTask task(&parent, 0.4);
    QCOMPARE(task.parent(), &parent);
    QCOMPARE(task.m_TaskState, int(TASK_IDLE));
    QCOMPARE(task.m_Progress, qreal(0));
    QCOMPARE(task.m_Weight, qreal(0.4));
    QVERIFY(!task.m_CancelRequested);
    // The numbers are compared by parents and the engine.
    QCOMPARE(int(TASK_IDLE), 0);
    QCOMPARE(int(TASK_RUNNING), 1);
    QCOMPARE(int(TASK_FINISHED), 2);
    QCOMPARE(int(TASK_FAILED), 3);
    QCOMPARE(int(TASK_CANCELED), 4);
}

void TestTaskSpecification::weightedProgress_data()
{
    QTest::addColumn<qreal>("weight");
    QTest::addColumn<qreal>("fraction");
    QTest::addColumn<qreal>("expected");
    QTest::newRow("full weight, half done") << qreal(1) << qreal(0.5) << qreal(0.5);
    QTest::newRow("a tenth of the parent, half done") << qreal(0.1) << qreal(0.5) << qreal(0.05);
    QTest::newRow("weight above one") << qreal(2.5) << qreal(0.4) << qreal(1.0);
    QTest::newRow("weight zero") << qreal(0) << qreal(0.7) << qreal(0);
}

void TestTaskSpecification::weightedProgress()
{
    QFETCH(qreal, weight);
    QFETCH(qreal, fraction);
    QFETCH(qreal, expected);
    ManualTask task(nullptr, weight);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.execute();
    task.progressTo(fraction);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).value<qreal>(), expected);
    QCOMPARE(task.m_Progress, expected);
}

// Each way a run ends: state, the one end signal with the task itself, and what happens to the progress.
void TestTaskSpecification::endsOfARun_data()
{
    QTest::addColumn<int>("how");
    QTest::addColumn<int>("state");
    QTest::addColumn<QStringList>("events");
    const QString partial = TaskEventLog::progressEvent(0.3 * 0.6);
    const QString full = TaskEventLog::progressEvent(0.6);
    QTest::newRow("finished reports the full weight first")
        << int(TASK_FINISHED) << int(TASK_FINISHED) << QStringList{partial, full, QStringLiteral("finished")};
    QTest::newRow("failed keeps the progress")
        << int(TASK_FAILED) << int(TASK_FAILED) << QStringList{partial, QStringLiteral("canceled")};
    QTest::newRow("cancelled keeps the progress")
        << int(TASK_CANCELED) << int(TASK_CANCELED) << QStringList{partial, QStringLiteral("canceled")};
}

void TestTaskSpecification::endsOfARun()
{
    QFETCH(int, how);
    QFETCH(int, state);
    QFETCH(QStringList, events);
    ManualTask task(nullptr, 0.6);
    TaskEventLog log(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QCOMPARE(task.m_TaskState, int(TASK_RUNNING));
    task.progressTo(0.3);
    if (how == TASK_FINISHED)
        task.finish();
    else if (how == TASK_FAILED)
        task.fail();
    else
        task.cancelRun();
    QCOMPARE(task.m_TaskState, state);
    QCOMPARE(log.events, events);
    QCOMPARE(task.m_Progress, how == TASK_FINISHED ? qreal(0.6) : qreal(0.3 * 0.6));
    QSignalSpy &endSpy = how == TASK_FINISHED ? finished : canceled;
    QCOMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(endSpy.at(0).at(0).value<TaskSpecification *>(), &task);
}

void TestTaskSpecification::cancelOutsideARunOnlyRecords_data()
{
    QTest::addColumn<int>("before");
    QTest::newRow("idle") << int(TASK_IDLE);
    QTest::newRow("finished") << int(TASK_FINISHED);
    QTest::newRow("failed") << int(TASK_FAILED);
    QTest::newRow("running (the base only records)") << int(TASK_RUNNING);
}

void TestTaskSpecification::cancelOutsideARunOnlyRecords()
{
    QFETCH(int, before);
    ManualTask task(nullptr, 1);
    if (before != TASK_IDLE)
        task.execute();
    if (before == TASK_FINISHED)
        task.finish();
    else if (before == TASK_FAILED)
        task.fail();
    TaskEventLog log(&task);
    task.TaskSpecification::cancel();
    QVERIFY(task.m_CancelRequested);
    QCOMPARE(task.m_TaskState, before);
    QCOMPARE(log.events, QStringList());
}

void TestTaskSpecification::resetReturnsToIdle()
{
    ManualTask task(nullptr, 0.5);
    task.execute();
    task.progressTo(0.8);
    task.cancel();
    task.fail();
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.reset();
    QCOMPARE(task.m_TaskState, int(TASK_IDLE));
    QCOMPARE(task.m_Progress, qreal(0));
    QVERIFY(!task.m_CancelRequested);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).value<qreal>(), qreal(0));

    // A reset task runs again and reports one end for the new run.
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    task.finish();
    QCOMPARE(finished.count(), 1);
}

void TestTaskSpecification::otherTaskCancelledReachesOnlyRunningOthers()
{
    ManualTask task(nullptr, 1);
    ManualTask other(nullptr, 1);

    task.callOnOtherTaskCancelled(&other); // idle
    QVERIFY(task.othersSeen.isEmpty());

    task.execute();
    task.callOnOtherTaskCancelled(&task); // itself, while running
    QVERIFY(task.othersSeen.isEmpty());
    task.callOnOtherTaskCancelled(&other);
    QCOMPARE(task.othersSeen, QList<TaskSpecification *>{&other});

    task.finish();
    task.callOnOtherTaskCancelled(&other); // ended
    QCOMPARE(task.othersSeen.size(), 1);
}

void TestTaskSpecification::downloadStatusIsZero()
{
    ManualTask task(nullptr, 1);
    quint64 done = 7;
    quint64 total = 8;
    quint64 speed = 9;
    bool downloading = true;
    task.getDownloadStatus(done, total, speed, downloading);
    QCOMPARE(done, quint64(0));
    QCOMPARE(total, quint64(0));
    QCOMPARE(speed, quint64(0));
    QVERIFY(!downloading);
}

QTEST_GUILESS_MAIN(TestTaskSpecification)
#include "tst_taskspecification.moc"
