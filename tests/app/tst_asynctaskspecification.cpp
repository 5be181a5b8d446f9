#include "asynctaskspecification.h"

#include "asyncfunc.h"
#include "asyncrun.h"
#include "tasktesthelpers.h"
#include "tsanannotations.h"

#include <QPointer>
#include <QSignalSpy>
#include <QThreadPool>
#include <QtTest>

// Worker-thread tasks on the real global thread pool, with the real event loop delivering the results.
class TestASyncTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void workerResultEndsTheRun_data();
    void workerResultEndsTheRun();
    void resultRecordIsReadInTheGuiThread();
    void cancelWhileWorkerRunsEmitsNothing_data();
    void cancelWhileWorkerRunsEmitsNothing();
    void resultsAfterResetAreDropped();
    void resultAfterTheRunEndedIsDropped();
    void deletingTheTaskWhileItsWorkerRuns();
    void runnableDeletesItsWorker();

private:
    // Holds gated workers; cleanup() opens it, so that a failed test cannot leave the pool blocked.
    QSemaphore m_Gate;
};

void TestASyncTaskSpecification::cleanup()
{
    // Nothing a test started may outlive it; every worker object must have been deleted by its runnable.
    m_Gate.release(100);
    QThreadPool::globalInstance()->waitForDone();
    m_Gate.acquire(m_Gate.available());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(ScriptedFunc::alive.load(), 0);
}

void TestASyncTaskSpecification::workerResultEndsTheRun_data()
{
    QTest::addColumn<bool>("result");
    QTest::addColumn<qreal>("weight");
    QTest::newRow("success") << true << qreal(0.4);
    QTest::newRow("failure") << false << qreal(0.4);
    QTest::newRow("success, weight above one") << true << qreal(1.5);
}

// Texts and fractions arrive in the order the worker emitted them, as fraction times weight, and the
// end comes last: finished right after the full weight, or canceled in TASK_FAILED.
void TestASyncTaskSpecification::workerResultEndsTheRun()
{
    QFETCH(bool, result);
    QFETCH(qreal, weight);
    ScriptedTask task(nullptr, weight);
    task.script.messages = QStringList{QStringLiteral("hashing a.bin")};
    task.script.errors = QStringList{QStringLiteral("Unable to read a.bin")};
    task.script.fractions = QList<qreal>{0.25, 0.5};
    task.script.result = result;
    TaskEventLog log(&task);
    QSignalSpy ended(&task, result ? &TaskSpecification::finished : &TaskSpecification::canceled);

    task.execute();
    QCOMPARE(task.m_TaskState, int(TASK_RUNNING));
    QVERIFY(ended.wait());

    QStringList expected{QStringLiteral("message hashing a.bin"), QStringLiteral("error Unable to read a.bin"),
                         TaskEventLog::progressEvent(0.25 * weight), TaskEventLog::progressEvent(0.5 * weight)};
    if (result)
        expected << TaskEventLog::progressEvent(weight) << QStringLiteral("finished");
    else
        expected << QStringLiteral("canceled");
    QCOMPARE(log.events, expected);
    QCOMPARE(task.m_TaskState, result ? int(TASK_FINISHED) : int(TASK_FAILED));
    QCOMPARE(task.m_Progress, result ? weight : 0.5 * weight);
    QCOMPARE(task.runDoneCalls, 1);
}

void TestASyncTaskSpecification::resultRecordIsReadInTheGuiThread()
{
    ScriptedTask task(nullptr, 1);
    task.script.value = 42;
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QVERIFY(finished.wait());
    QVERIFY(task.record.thread != nullptr);
    QVERIFY(task.record.thread != QThread::currentThread());
    QCOMPARE(task.runDoneThread, QThread::currentThread());
    QCOMPARE(task.valueSeenInRunDone, 42);
}

void TestASyncTaskSpecification::cancelWhileWorkerRunsEmitsNothing_data()
{
    QTest::addColumn<bool>("result");
    QTest::newRow("worker succeeds") << true;
    QTest::newRow("worker fails") << false;
}

// A running worker is never interrupted: cancel() records the request and the task ends with the
// worker's own result.
void TestASyncTaskSpecification::cancelWhileWorkerRunsEmitsNothing()
{
    QFETCH(bool, result);
    QSemaphore started;
    ScriptedTask task(nullptr, 1);
    task.script.started = &started;
    task.script.gate = &m_Gate;
    task.script.result = result;
    TaskEventLog log(&task);
    QSignalSpy ended(&task, result ? &TaskSpecification::finished : &TaskSpecification::canceled);

    task.execute();
    started.acquire();
    task.cancel();
    QCoreApplication::processEvents();
    QVERIFY(task.m_CancelRequested);
    QCOMPARE(task.m_TaskState, int(TASK_RUNNING));
    QCOMPARE(log.events, QStringList());

    m_Gate.release();
    QVERIFY(ended.wait());
    QCOMPARE(task.m_TaskState, result ? int(TASK_FINISHED) : int(TASK_FAILED));
    QCOMPARE(log.endCount(), 1);
}

// reset() waits for the pool; the finished worker's reports are then still queued. They must not reach
// the reset task, nor the next run, which ends with its own worker's result.
void TestASyncTaskSpecification::resultsAfterResetAreDropped()
{
    QSemaphore started;
    ScriptedTask task(nullptr, 1);
    task.script.started = &started;
    task.script.gate = &m_Gate;
    task.script.result = false;
    task.script.messages = QStringList{QStringLiteral("first run")};
    task.script.fractions = QList<qreal>{0.9};
    task.script.value = 1;

    task.execute();
    started.acquire();
    m_Gate.release();
    task.reset(); // blocks until the worker returned; its runResult(false) is now queued
    QCOMPARE(task.m_TaskState, int(TASK_IDLE));
    QCOMPARE(task.record.value, 1);

    TaskEventLog log(&task);
    task.script.messages = QStringList{QStringLiteral("second run")};
    task.script.fractions.clear();
    task.script.result = true;
    task.script.value = 2;
    task.execute();
    started.acquire();
    QCoreApplication::processEvents(); // delivers the first run's queued reports
    QCOMPARE(log.events, QStringList());
    QCOMPARE(task.m_TaskState, int(TASK_RUNNING));
    QCOMPARE(task.runDoneCalls, 0);

    QSignalSpy finished(&task, &TaskSpecification::finished);
    m_Gate.release();
    QVERIFY(finished.wait());
    QCOMPARE(log.events, (QStringList{QStringLiteral("message second run"), TaskEventLog::progressEvent(1),
                                      QStringLiteral("finished")}));
    QCOMPARE(task.valueSeenInRunDone, 2);
    QCOMPARE(task.runDoneCalls, 1);
}

// A run that was already ended (here by a verdict of the task's own) ignores its worker's late result.
void TestASyncTaskSpecification::resultAfterTheRunEndedIsDropped()
{
    QSemaphore started;
    ScriptedTask task(nullptr, 1);
    task.script.started = &started;
    task.script.gate = &m_Gate;
    task.script.result = true;
    TaskEventLog log(&task);

    task.execute();
    started.acquire();
    task.failEarly();
    m_Gate.release();
    QTRY_COMPARE(task.runDoneCalls, 1);
    QCOMPARE(task.m_TaskState, int(TASK_FAILED));
    QCOMPARE(log.events, QStringList{QStringLiteral("canceled")});
}

// The worker holds no pointer to its task, and the task's connections die with it.
void TestASyncTaskSpecification::deletingTheTaskWhileItsWorkerRuns()
{
    QSemaphore started;
    auto *record = new WorkerRecord; // outlives the task: the worker writes it after the task is gone
    QPointer<ScriptedTask> task = new ScriptedTask(nullptr, 1);
    task->script.started = &started;
    task->script.gate = &m_Gate;
    task->script.messages = QStringList{QStringLiteral("late")};
    task->externalRecord = record;
    task->execute();
    started.acquire();
    delete task.data();
    m_Gate.release();
    QThreadPool::globalInstance()->waitForDone();
    TsanAnnotations::takeOver(); // waitForDone() orders the worker's writes before what follows
    QCoreApplication::processEvents();
    QVERIFY(task.isNull());
    QVERIFY(record->thread != nullptr);
    delete record;
}

class CountingFunc : public ASyncFunc
{
public:
    explicit CountingFunc(bool *deleted) : m_Deleted(deleted) {}
    ~CountingFunc() override { *m_Deleted = true; }
    bool run() override { return true; }

private:
    bool *m_Deleted;
};

void TestASyncTaskSpecification::runnableDeletesItsWorker()
{
    bool deleted = false;
    auto *func = new CountingFunc(&deleted);
    QVERIFY(func->parent() == nullptr);
    QSignalSpy result(func, &ASyncFunc::runResult);
    auto *runnable = new ASyncRun(func);
    QVERIFY(runnable->autoDelete());
    runnable->run(); // in this thread, so the spy sees the direct emission
    QCOMPARE(result.count(), 1);
    QCOMPARE(result.at(0).at(0).toBool(), true);
    QVERIFY(!deleted);
    delete runnable;
    QVERIFY(deleted);
}

QTEST_GUILESS_MAIN(TestASyncTaskSpecification)
#include "tst_asynctaskspecification.moc"
