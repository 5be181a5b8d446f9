#include "composedtaskspecification.h"

#include "tasktesthelpers.h"

#include <QPointer>
#include <QSignalSpy>
#include <QThreadPool>
#include <QtTest>

#include <algorithm>

// Composed tasks with hand-driven subtasks (and real worker-thread subtasks where threads matter), started
// and ended through the real event loop.
class TestComposedTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void emptyListFinishesAtOnce();
    void parallelLimit_data();
    void parallelLimit();
    void subtaskEndingInsideItsExecute();
    void subtaskFailingInsideItsExecuteStopsTheList();
    void outcomeRules_data();
    void outcomeRules();
    void failureWhileSiblingsRun();
    void cancelWhileRunning_data();
    void cancelWhileRunning();
    void cancelOutsideARunTouchesNoSubtask();
    void otherTaskCancelledSpreadsDownNestedTasks();
    void repeatedCanceledChangesNothing();
    void earlyVerdictGivesOneEnd_data();
    void earlyVerdictGivesOneEnd();
    void progressArithmetic_data();
    void progressArithmetic();
    void messagesAndErrorsAreRelayed();
    void downloadStatusSums_data();
    void downloadStatusSums();
    void resetRunsTheListAgain();
    void startsQueuedBeforeResetAreDropped();
    void workerSubtasksThroughCancellation();
    void destructionReleasesSubtasks();
    void discardedSubtasksAreCutOff();
    void cleanup();

private:
    // Holds gated workers; cleanup() opens it, so that a failed test cannot leave the pool blocked.
    QSemaphore m_Gate;
};

namespace {
QList<ManualTask *> addManualTasks(TestComposed &composed, int count, qreal weight, StartTracker *tracker)
{
    QList<ManualTask *> tasks;
    for (int i = 0; i < count; ++i) {
        auto *task = new ManualTask(&composed, weight, tracker);
        composed.addSubtask(task);
        tasks << task;
    }
    return tasks;
}

int countRunning(const QList<ManualTask *> &tasks)
{
    return int(
        std::count_if(tasks.begin(), tasks.end(), [](const ManualTask *t) { return t->m_TaskState == TASK_RUNNING; }));
}
} // namespace

void TestComposedTaskSpecification::emptyListFinishesAtOnce()
{
    TestComposed composed(3, nullptr, 0.7);
    TaskEventLog log(&composed);
    composed.execute();
    QCOMPARE(composed.m_TaskState, int(TASK_FINISHED));
    QCOMPARE(composed.m_Progress, qreal(0.7));
    QCOMPARE(log.events, (QStringList{TaskEventLog::progressEvent(0.7), QStringLiteral("finished")}));
    QCoreApplication::processEvents();
    QCOMPARE(composed.subtasksDoneCalls, 1);
    QCOMPARE(log.endCount(), 1);
}

void TestComposedTaskSpecification::parallelLimit_data()
{
    QTest::addColumn<int>("limit");
    QTest::newRow("one at a time") << 1;
    QTest::newRow("two at a time") << 2;
    QTest::newRow("six streams, seven downloads") << 6;
}

// Subtasks start in the order added, never more than the limit at once, never from inside another
// subtask's end signal, and each end frees exactly one place.
void TestComposedTaskSpecification::parallelLimit()
{
    QFETCH(int, limit);
    const int count = 7;
    StartTracker tracker;
    TestComposed composed(limit, nullptr, 1);
    const QList<ManualTask *> tasks = addManualTasks(composed, count, 1.0 / count, &tracker);
    TaskEventLog log(&composed);

    composed.execute();
    QCOMPARE(composed.m_TaskState, int(TASK_RUNNING));
    QCOMPARE(tracker.order.size(), 0); // starts come from the event loop
    QTRY_COMPARE(tracker.order.size(), qMin(limit, count));
    QCoreApplication::processEvents();
    QCOMPARE(tracker.order.size(), qMin(limit, count));

    for (int ended = 0; ended < count; ++ended) {
        QCOMPARE(countRunning(tasks), qMin(limit, count - ended));
        // End the subtask that has run longest.
        ManualTask *oldest = nullptr;
        for (TaskSpecification *t : qAsConst(tracker.order)) {
            if (t->m_TaskState == TASK_RUNNING) {
                oldest = static_cast<ManualTask *>(t);
                break;
            }
        }
        QVERIFY(oldest);
        const int startedBefore = tracker.order.size();
        oldest->finish();
        QCOMPARE(tracker.order.size(), startedBefore); // not inside the end signal
        QTRY_COMPARE(tracker.order.size(), qMin(count, limit + ended + 1));
    }
    QTRY_COMPARE(log.endCount(), 1);
    QCOMPARE(composed.m_TaskState, int(TASK_FINISHED));
    QCOMPARE(tracker.maxRunning, qMin(limit, count));
    QCOMPARE(tracker.order, composed.subtasks());
    for (ManualTask *t : tasks)
        QCOMPARE(t->executeCount, 1);
    QVERIFY(log.finishedFollowsFullProgress(1));
    QCOMPARE(composed.m_Ended, composed.subtasks());
}

void TestComposedTaskSpecification::subtaskEndingInsideItsExecute()
{
    TestComposed composed(1, nullptr, 1);
    auto *instant = new ManualTask(&composed, 0.25);
    instant->onExecute = ManualTask::OnExecute::Finish;
    auto *emptyList = new TestComposed(2, &composed, 0.25); // ends inside its execute()
    auto *instant2 = new ManualTask(&composed, 0.25);
    instant2->onExecute = ManualTask::OnExecute::Finish;
    auto *last = new ManualTask(&composed, 0.25);
    for (TaskSpecification *t : {static_cast<TaskSpecification *>(instant), static_cast<TaskSpecification *>(emptyList),
                                 static_cast<TaskSpecification *>(instant2), static_cast<TaskSpecification *>(last)})
        composed.addSubtask(t);
    QSignalSpy finished(&composed, &TaskSpecification::finished);

    composed.execute();
    QTRY_COMPARE(last->m_TaskState, int(TASK_RUNNING));
    QCOMPARE(instant->m_TaskState, int(TASK_FINISHED));
    QCOMPARE(emptyList->m_TaskState, int(TASK_FINISHED));
    QCOMPARE(instant2->m_TaskState, int(TASK_FINISHED));
    QCOMPARE(composed.m_Running, QList<TaskSpecification *>{last});
    QCOMPARE(finished.count(), 0);
    last->finish();
    QVERIFY(finished.wait());
    QCOMPARE(composed.m_TaskState, int(TASK_FINISHED));
    QCOMPARE(composed.subtasksDoneCalls, 1);
}

void TestComposedTaskSpecification::subtaskFailingInsideItsExecuteStopsTheList()
{
    StartTracker tracker;
    TestComposed composed(2, nullptr, 1);
    const QList<ManualTask *> tasks = addManualTasks(composed, 3, 0.3, &tracker);
    tasks[0]->onExecute = ManualTask::OnExecute::Fail;
    QSignalSpy canceled(&composed, &TaskSpecification::canceled);

    composed.execute();
    QVERIFY(canceled.wait());
    QCOMPARE(composed.m_TaskState, int(TASK_FAILED));
    QCoreApplication::processEvents(); // the second queued start finds the run over
    QCOMPARE(tasks[1]->executeCount, 0);
    QCOMPARE(tasks[2]->executeCount, 0);
    QCOMPARE(canceled.count(), 1);
}

void TestComposedTaskSpecification::outcomeRules_data()
{
    QTest::addColumn<QList<int>>("states");
    QTest::addColumn<bool>("cancelRequested");
    QTest::addColumn<bool>("subtaskCanceled");
    QTest::addColumn<int>("outcome");
    const int I = TASK_IDLE, F = TASK_FINISHED, X = TASK_FAILED, C = TASK_CANCELED;
    QTest::newRow("no subtasks") << QList<int>{} << false << false << F;
    QTest::newRow("all finished") << QList<int>{F, F, F} << false << false << F;
    QTest::newRow("all finished, cancel came too late") << QList<int>{F, F} << true << false << F;
    QTest::newRow("failure beats a later cancellation") << QList<int>{F, X, C} << false << true << X;
    QTest::newRow("failure beats an earlier cancellation") << QList<int>{C, F, X} << false << true << X;
    QTest::newRow("cancellation beats success") << QList<int>{F, C, F} << false << true << C;
    QTest::newRow("cancellation beats never started") << QList<int>{F, C, I} << false << true << C;
    QTest::newRow("failure beats a cancel request") << QList<int>{X, I} << true << true << X;
    QTest::newRow("never started after a cancel request") << QList<int>{F, I, I} << true << false << C;
    QTest::newRow("never started after a subtask ended badly") << QList<int>{F, I} << false << true << X;
    QTest::newRow("never started, no reason known") << QList<int>{F, I} << false << false << int(TASK_RUNNING);
}

void TestComposedTaskSpecification::outcomeRules()
{
    QFETCH(QList<int>, states);
    QFETCH(bool, cancelRequested);
    QFETCH(bool, subtaskCanceled);
    QFETCH(int, outcome);
    TestComposed composed(1, nullptr, 1);
    for (int state : states) {
        auto *task = new ManualTask(&composed, 1);
        composed.addSubtask(task);
        task->m_TaskState = state;
    }
    composed.m_CancelRequested = cancelRequested;
    composed.m_SubtaskCanceled = subtaskCanceled;
    QCOMPARE(composed.computeOutcome(), outcome);

    // subtasksDone() turns the outcome into the matching end; an unexplained one counts as failure.
    composed.m_TaskState = TASK_RUNNING;
    QSignalSpy finished(&composed, &TaskSpecification::finished);
    QSignalSpy canceled(&composed, &TaskSpecification::canceled);
    composed.subtasksDone();
    QCOMPARE(composed.m_TaskState, outcome == int(TASK_RUNNING) ? int(TASK_FAILED) : outcome);
    QCOMPARE(finished.count(), outcome == int(TASK_FINISHED) ? 1 : 0);
    QCOMPARE(canceled.count(), outcome == int(TASK_FINISHED) ? 0 : 1);
}

void TestComposedTaskSpecification::failureWhileSiblingsRun()
{
    TestComposed composed(3, nullptr, 1);
    const QList<ManualTask *> tasks = addManualTasks(composed, 5, 0.2, nullptr);
    TaskEventLog log(&composed);
    composed.execute();
    QTRY_COMPARE(countRunning(tasks), 3);

    tasks[1]->fail();
    QCOMPARE(tasks[0]->othersSeen, QList<TaskSpecification *>{tasks[1]});
    QCOMPARE(tasks[2]->othersSeen, QList<TaskSpecification *>{tasks[1]});
    QVERIFY(tasks[1]->othersSeen.isEmpty());
    QVERIFY(tasks[3]->othersSeen.isEmpty()); // never started
    QCoreApplication::processEvents();
    QCOMPARE(composed.m_TaskState, int(TASK_RUNNING));

    tasks[0]->finish();
    QCoreApplication::processEvents();
    QCOMPARE(tasks[3]->executeCount, 0); // a failure stops the sequence
    QCOMPARE(composed.m_TaskState, int(TASK_RUNNING));
    QCOMPARE(log.endCount(), 0);

    tasks[2]->finish();
    QTRY_COMPARE(log.endCount(), 1);
    QCOMPARE(log.events.last(), QStringLiteral("canceled"));
    QCOMPARE(composed.m_TaskState, int(TASK_FAILED));
    QCoreApplication::processEvents();
    QCOMPARE(tasks[3]->executeCount, 0);
    QCOMPARE(tasks[4]->executeCount, 0);
    QCOMPARE(composed.subtasksDoneCalls, 1);
}

void TestComposedTaskSpecification::cancelWhileRunning_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<bool>("endsOnCancel");    // like a download: ends as cancelled at once
    QTest::addColumn<bool>("failsForSibling"); // like a download: aborts as failed for a cancelled sibling
    QTest::addColumn<int>("outcome");
    QTest::newRow("one running subtask ends cancelled") << 1 << true << false << int(TASK_CANCELED);
    QTest::newRow("siblings abort as failed") << 2 << true << true << int(TASK_FAILED);
    QTest::newRow("worker-like subtask finishes its work first") << 1 << false << false << int(TASK_CANCELED);
    QTest::newRow("two worker-like subtasks finish their work") << 2 << false << false << int(TASK_CANCELED);
}

void TestComposedTaskSpecification::cancelWhileRunning()
{
    QFETCH(int, limit);
    QFETCH(bool, endsOnCancel);
    QFETCH(bool, failsForSibling);
    QFETCH(int, outcome);
    TestComposed composed(limit, nullptr, 1);
    const QList<ManualTask *> tasks = addManualTasks(composed, 4, 0.25, nullptr);
    for (ManualTask *t : tasks) {
        t->onCancel = endsOnCancel ? ManualTask::OnCancel::EndCanceled : ManualTask::OnCancel::Record;
        t->onOther = failsForSibling ? ManualTask::OnOther::EndFailed : ManualTask::OnOther::Record;
    }
    TaskEventLog log(&composed);
    composed.execute();
    QTRY_COMPARE(countRunning(tasks), limit);

    composed.cancel();
    for (ManualTask *t : tasks)
        QCOMPARE(t->cancelCalls, 1); // every subtask, also those that never started
    if (!endsOnCancel) {
        // Workers are never interrupted: the list waits for them.
        QCoreApplication::processEvents();
        QCOMPARE(log.endCount(), 0);
        for (int i = 0; i < limit; ++i)
            tasks[i]->finish();
    }
    QTRY_COMPARE(log.endCount(), 1);
    QCOMPARE(log.events.last(), QStringLiteral("canceled"));
    QCOMPARE(composed.m_TaskState, outcome);
    QCoreApplication::processEvents();
    for (int i = limit; i < tasks.size(); ++i)
        QCOMPARE(tasks[i]->executeCount, 0);
    QCOMPARE(log.endCount(), 1);
}

void TestComposedTaskSpecification::cancelOutsideARunTouchesNoSubtask()
{
    TestComposed composed(1, nullptr, 1);
    const QList<ManualTask *> tasks = addManualTasks(composed, 2, 0.5, nullptr);
    TaskEventLog log(&composed);
    composed.cancel();
    QVERIFY(composed.m_CancelRequested);
    QCOMPARE(tasks[0]->cancelCalls, 0);
    QCOMPARE(log.events, QStringList());

    // Started after the request: nothing starts and the run ends cancelled.
    composed.execute();
    QTRY_COMPARE(log.endCount(), 1);
    QCOMPARE(composed.m_TaskState, int(TASK_CANCELED));
    QCOMPARE(tasks[0]->executeCount, 0);
}

void TestComposedTaskSpecification::otherTaskCancelledSpreadsDownNestedTasks()
{
    TestComposed outer(2, nullptr, 1);
    auto *inner = new TestComposed(2, &outer, 0.5);
    auto *x = new ManualTask(inner, 0.3);
    auto *y = new ManualTask(inner, 0.3);
    auto *waiting = new ManualTask(inner, 0.4);
    inner->addSubtask(x);
    inner->addSubtask(y);
    inner->addSubtask(waiting);
    auto *z = new ManualTask(&outer, 0.5);
    outer.addSubtask(inner);
    outer.addSubtask(z);
    TaskEventLog log(&outer);

    outer.execute();
    QTRY_VERIFY(x->m_TaskState == TASK_RUNNING && y->m_TaskState == TASK_RUNNING && z->m_TaskState == TASK_RUNNING);
    z->fail();
    QCOMPARE(x->othersSeen, QList<TaskSpecification *>{z});
    QCOMPARE(y->othersSeen, QList<TaskSpecification *>{z});
    QVERIFY(waiting->othersSeen.isEmpty());

    // The inner list itself is not stopped by news from outside; its running subtasks decide.
    x->finish();
    y->finish();
    QTRY_COMPARE(waiting->m_TaskState, int(TASK_RUNNING));
    waiting->finish();
    QTRY_COMPARE(log.endCount(), 1);
    QCOMPARE(inner->m_TaskState, int(TASK_FINISHED));
    QCOMPARE(outer.m_TaskState, int(TASK_FAILED));
}

// Part of the contract with tasks that report a second time: the repeat is no longer running here.
void TestComposedTaskSpecification::repeatedCanceledChangesNothing()
{
    TestComposed composed(2, nullptr, 1);
    const QList<ManualTask *> tasks = addManualTasks(composed, 3, 0.3, nullptr);
    TaskEventLog log(&composed);
    QSignalSpy spread(&composed, &TaskSpecification::otherTaskCancelled);
    composed.execute();
    QTRY_COMPARE(countRunning(tasks), 2);

    tasks[0]->fail();
    QCOMPARE(spread.count(), 1);
    tasks[0]->repeatCanceled();
    QCOMPARE(spread.count(), 1);
    QCOMPARE(tasks[1]->othersSeen.size(), 1);
    QCOMPARE(composed.m_Ended, QList<TaskSpecification *>{tasks[0]});
    QCOMPARE(composed.m_Running, QList<TaskSpecification *>{tasks[1]});
    QCOMPARE(composed.subtasksDoneCalls, 0);

    tasks[1]->finish();
    QTRY_COMPARE(log.endCount(), 1);
    tasks[0]->repeatCanceled();
    tasks[1]->repeatCanceled();
    QCoreApplication::processEvents();
    QCOMPARE(log.endCount(), 1);
    QCOMPARE(composed.subtasksDoneCalls, 1);
    QCOMPARE(composed.m_TaskState, int(TASK_FAILED));
    QCOMPARE(tasks[2]->executeCount, 0);
}

void TestComposedTaskSpecification::earlyVerdictGivesOneEnd_data()
{
    QTest::addColumn<bool>("subtaskSucceeds");
    QTest::newRow("running subtask then finishes") << true;
    QTest::newRow("running subtask then fails") << false;
}

// A list that ended its run on a verdict of its own starts nothing more and reports nothing more.
void TestComposedTaskSpecification::earlyVerdictGivesOneEnd()
{
    QFETCH(bool, subtaskSucceeds);
    TestComposed composed(1, nullptr, 1);
    const QList<ManualTask *> tasks = addManualTasks(composed, 2, 0.5, nullptr);
    TaskEventLog log(&composed);
    composed.execute();
    QTRY_COMPARE(tasks[0]->m_TaskState, int(TASK_RUNNING));

    composed.failEarly();
    QCOMPARE(log.endCount(), 1);
    if (subtaskSucceeds)
        tasks[0]->finish();
    else
        tasks[0]->fail();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QCOMPARE(tasks[1]->executeCount, 0);
    QCOMPARE(log.endCount(), 1);
    QCOMPARE(composed.m_TaskState, int(TASK_FAILED));
    QCOMPARE(composed.subtasksDoneCalls, 0);
}

void TestComposedTaskSpecification::progressArithmetic_data()
{
    QTest::addColumn<qreal>("weight");
    QTest::addColumn<QList<qreal>>("weights");
    QTest::newRow("shares add up to one") << qreal(1) << QList<qreal>{0.5, 0.5};
    QTest::newRow("shares add up to less, parent weight two") << qreal(2) << QList<qreal>{0.3, 0.5};
    QTest::newRow("the client update's stages (1.2)") << qreal(1) << QList<qreal>{0.1, 0.05, 0.4, 0.1, 0.4, 0.05, 0.1};
    QTest::newRow("a third and a whole (0.3333 + 1)") << qreal(0.4) << QList<qreal>{0.3333, 1};
}

// The parent's progress is its weight times the sum of the subtasks' weighted progress, unnormalised, and
// exactly its weight at the end.
void TestComposedTaskSpecification::progressArithmetic()
{
    QFETCH(qreal, weight);
    QFETCH(QList<qreal>, weights);
    TestComposed composed(1, nullptr, weight);
    TaskEventLog log(&composed);
    QList<ManualTask *> tasks;
    for (qreal w : weights) {
        auto *task = new ManualTask(&composed, w);
        composed.addSubtask(task);
        tasks << task;
    }
    QCOMPARE(log.events.size(), weights.size()); // one progress per addition
    QCOMPARE(log.events.last(), TaskEventLog::progressEvent(0));

    QSignalSpy progress(&composed, &TaskSpecification::updateProgress);
    composed.execute();
    qreal done = 0;
    for (int i = 0; i < tasks.size(); ++i) {
        QTRY_COMPARE(tasks[i]->m_TaskState, int(TASK_RUNNING));
        tasks[i]->progressTo(0.5);
        QCOMPARE(progress.last().at(0).value<qreal>(), weight * (done + 0.5 * weights[i]));
        tasks[i]->progressTo(0.25); // a lower fraction is reported as it is
        QCOMPARE(composed.m_Progress, weight * (done + 0.25 * weights[i]));
        tasks[i]->finish();
        done += weights[i];
        QCOMPARE(progress.last().at(0).value<qreal>(), weight * done);
    }
    QTRY_COMPARE(log.endCount(), 1);
    QCOMPARE(composed.m_TaskState, int(TASK_FINISHED));
    QCOMPARE(composed.m_Progress, weight);
    QVERIFY(log.finishedFollowsFullProgress(weight));
}

void TestComposedTaskSpecification::messagesAndErrorsAreRelayed()
{
    TestComposed outer(1, nullptr, 1);
    auto *inner = new TestComposed(1, &outer, 1);
    auto *leaf = new ManualTask(inner, 1);
    inner->addSubtask(leaf);
    outer.addSubtask(inner);
    TaskEventLog log(&outer);
    outer.execute();
    QTRY_COMPARE(leaf->m_TaskState, int(TASK_RUNNING));
    log.events.clear();
    emit leaf->message(QStringLiteral("Downloading a.bin"));
    emit leaf->error(QStringLiteral("Unable to download a.bin"));
    QCOMPARE(log.events, (QStringList{QStringLiteral("message Downloading a.bin"),
                                      QStringLiteral("error Unable to download a.bin")}));
    QCOMPARE(outer.m_TaskState, int(TASK_RUNNING)); // an error alone ends nothing
}

namespace {
// Download figures as a transfer would report them.
class FiguresTask : public ManualTask
{
public:
    FiguresTask(QObject *parent, const QList<qulonglong> &figures) : ManualTask(parent, 1), m_Figures(figures) {}
    void getDownloadStatus(quint64 &done, quint64 &total, quint64 &speed, bool &downloading) override
    {
        done = m_Figures.at(0);
        total = m_Figures.at(1);
        speed = m_Figures.at(2);
        downloading = m_Figures.at(3) != 0;
    }

private:
    QList<qulonglong> m_Figures;
};
} // namespace

void TestComposedTaskSpecification::downloadStatusSums_data()
{
    // Per subtask: done, total, speed, downloading.
    QTest::addColumn<QList<QList<qulonglong>>>("figures");
    QTest::addColumn<bool>("nested");
    QTest::addColumn<QList<qulonglong>>("expected");
    using F = QList<QList<qulonglong>>;
    using E = QList<qulonglong>;
    QTest::newRow("no subtasks") << F{} << false << E{0, 0, 0, 0};
    QTest::newRow("known totals add up") << F{{10, 100, 5, 1}, {20, 200, 7, 1}} << false << E{30, 300, 12, 1};
    QTest::newRow("unknown total: only its speed counts")
        << F{{10, 100, 5, 1}, {50, 0, 9, 1}} << false << E{10, 100, 14, 1};
    QTest::newRow("ended transfers are not downloading")
        << F{{100, 100, 0, 0}, {0, 0, 0, 0}} << false << E{100, 100, 0, 0};
    QTest::newRow("one of several downloading") << F{{5, 10, 0, 0}, {1, 10, 3, 1}} << false << E{6, 20, 3, 1};
    QTest::newRow("nested lists add up the same way")
        << F{{10, 100, 5, 1}, {50, 0, 9, 0}, {1, 2, 3, 0}} << true << E{11, 102, 17, 1};
}

void TestComposedTaskSpecification::downloadStatusSums()
{
    QFETCH(QList<QList<qulonglong>>, figures);
    QFETCH(bool, nested);
    QFETCH(QList<qulonglong>, expected);
    TestComposed outer(6, nullptr, 1);
    TestComposed *holder = &outer;
    if (nested) {
        holder = new TestComposed(6, &outer, 1);
        outer.addSubtask(holder);
    }
    for (const QList<qulonglong> &f : figures)
        holder->addSubtask(new FiguresTask(holder, f));

    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = true; // the result does not depend on what the caller left here
    outer.getDownloadStatus(done, total, speed, downloading);
    QCOMPARE(done, quint64(expected.at(0)));
    QCOMPARE(total, quint64(expected.at(1)));
    QCOMPARE(speed, quint64(expected.at(2)));
    QCOMPARE(downloading, expected.at(3) != 0);
}

void TestComposedTaskSpecification::resetRunsTheListAgain()
{
    TestComposed composed(1, nullptr, 1);
    const QList<ManualTask *> tasks = addManualTasks(composed, 2, 0.5, nullptr);
    QSignalSpy canceled(&composed, &TaskSpecification::canceled);
    composed.execute();
    QTRY_COMPARE(tasks[0]->m_TaskState, int(TASK_RUNNING));
    tasks[0]->progressTo(0.5);
    tasks[0]->fail();
    QVERIFY(canceled.count() == 1 || canceled.wait());

    TaskEventLog log(&composed);
    composed.reset();
    QCOMPARE(log.events.last(), TaskEventLog::progressEvent(0));
    QCOMPARE(composed.m_TaskState, int(TASK_IDLE));
    QCOMPARE(composed.m_Progress, qreal(0));
    QCOMPARE(tasks[0]->m_TaskState, int(TASK_IDLE));
    QCOMPARE(tasks[0]->m_Progress, qreal(0));
    QCOMPARE(composed.m_Waiting, composed.subtasks());
    QVERIFY(composed.m_Running.isEmpty());
    QVERIFY(composed.m_Ended.isEmpty());
    QVERIFY(!composed.m_SubtaskCanceled);

    log.events.clear();
    composed.execute();
    QTRY_COMPARE(tasks[0]->m_TaskState, int(TASK_RUNNING));
    tasks[0]->finish();
    QTRY_COMPARE(tasks[1]->m_TaskState, int(TASK_RUNNING));
    tasks[1]->finish();
    QTRY_COMPARE(log.endCount(), 1);
    QCOMPARE(composed.m_TaskState, int(TASK_FINISHED));
    QVERIFY(log.finishedFollowsFullProgress(1));
}

// A start queued by a run that was reset must not start a subtask in the next run: the limit holds.
void TestComposedTaskSpecification::startsQueuedBeforeResetAreDropped()
{
    StartTracker tracker;
    TestComposed composed(1, nullptr, 1);
    const QList<ManualTask *> tasks = addManualTasks(composed, 3, 0.3, &tracker);
    composed.execute(); // queues a start
    composed.reset();
    composed.execute(); // queues another
    QTRY_COMPARE(tracker.order.size(), 1);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QCOMPARE(tracker.order.size(), 1);
    QCOMPARE(tracker.maxRunning, 1);

    // A reset list with starts still queued stays idle.
    composed.reset();
    tracker.running = 0;
    QCoreApplication::processEvents();
    QCOMPARE(tracker.order.size(), 1);
    QCOMPARE(tasks[1]->executeCount, 0);
}

// Cancelling a list of real worker-thread tasks: the running ones finish their work, the rest never start.
void TestComposedTaskSpecification::workerSubtasksThroughCancellation()
{
    QSemaphore started;
    TestComposed composed(2, nullptr, 1);
    QList<ScriptedTask *> tasks;
    for (int i = 0; i < 5; ++i) {
        auto *task = new ScriptedTask(&composed, 0.2);
        task->script.started = &started;
        task->script.gate = &m_Gate;
        task->script.value = i;
        composed.addSubtask(task);
        tasks << task;
    }
    TaskEventLog log(&composed);
    composed.execute();
    QTRY_VERIFY(tasks[0]->m_TaskState == TASK_RUNNING && tasks[1]->m_TaskState == TASK_RUNNING);
    started.acquire(2);
    composed.cancel();
    QCOMPARE(log.endCount(), 0);
    m_Gate.release(2);
    QTRY_COMPARE(log.endCount(), 1);
    QCOMPARE(composed.m_TaskState, int(TASK_CANCELED));
    QCOMPARE(tasks[0]->m_TaskState, int(TASK_FINISHED));
    QCOMPARE(tasks[1]->m_TaskState, int(TASK_FINISHED));
    QCOMPARE(tasks[1]->valueSeenInRunDone, 1);
    for (int i = 2; i < tasks.size(); ++i)
        QCOMPARE(tasks[i]->createCount, 0);
}

// Destroying a list deletes its subtasks; a running worker subtask is reset first, so that its worker is
// done with the record the subtask owns before the subtask goes.
void TestComposedTaskSpecification::destructionReleasesSubtasks()
{
    QSemaphore started;
    auto *composed = new TestComposed(2, nullptr, 1);
    auto *worker = new ScriptedTask(composed, 0.5);
    worker->script.started = &started;
    worker->script.fractions = QVector<qreal>(2000, 0.5).toList(); // keeps the worker busy after it started
    worker->script.value = 7;
    auto *manual = new ManualTask(composed, 0.5);
    composed->addSubtask(worker);
    composed->addSubtask(manual);
    QPointer<TaskSpecification> workerGuard = worker;
    QPointer<TaskSpecification> manualGuard = manual;
    composed->execute();
    QTRY_COMPARE(manual->m_TaskState, int(TASK_RUNNING));
    started.acquire();

    delete composed;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(workerGuard.isNull());
    QVERIFY(manualGuard.isNull());
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents(); // queued reports of the worker find no receiver
    QCOMPARE(ScriptedFunc::alive.load(), 0);
}

void TestComposedTaskSpecification::discardedSubtasksAreCutOff()
{
    TestComposed composed(2, nullptr, 1);
    const QList<ManualTask *> tasks = addManualTasks(composed, 3, 0.3, nullptr);
    composed.execute();
    QTRY_COMPARE(countRunning(tasks), 2);
    QPointer<ManualTask> first = tasks[0];
    TaskEventLog log(&composed);

    composed.discardSubtasks();
    QVERIFY(composed.subtasks().isEmpty());
    QVERIFY(composed.m_Waiting.isEmpty() && composed.m_Running.isEmpty() && composed.m_Ended.isEmpty());
    QCOMPARE(tasks[0]->m_TaskState, int(TASK_IDLE)); // a running subtask is reset
    emit tasks[0]->message(QStringLiteral("after discard"));
    tasks[2]->repeatCanceled();
    QCOMPARE(log.events, QStringList());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(first.isNull());
}

void TestComposedTaskSpecification::cleanup()
{
    m_Gate.release(100);
    QThreadPool::globalInstance()->waitForDone();
    m_Gate.acquire(m_Gate.available());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(ScriptedFunc::alive.load(), 0);
}

QTEST_GUILESS_MAIN(TestComposedTaskSpecification)
#include "tst_composedtaskspecification.moc"
