#ifndef TASKTESTHELPERS_H
#define TASKTESTHELPERS_H

// Small subclasses of the real task classes, driven by the tests, and a recorder of a task's signals.
// They add no signals or slots of their own, so they need no moc.

#include "asyncfunc.h"
#include "asynctaskspecification.h"
#include "composedtaskspecification.h"
#include "taskspecification.h"

#include <QList>
#include <QObject>
#include <QSemaphore>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <memory>

// Every signal of one task, as text, in the order emitted. Values are printed exactly, so a comparison
// with progressEvent(w) is a comparison of the qreal bits.
class TaskEventLog
{
public:
    explicit TaskEventLog(TaskSpecification *task) : m_Context(new QObject)
    {
        QObject *ctx = m_Context.get();
        QObject::connect(task, &TaskSpecification::updateProgress, ctx,
                         [this](qreal value) { events << progressEvent(value); });
        QObject::connect(task, &TaskSpecification::finished, ctx, [this, task](TaskSpecification *sender) {
            events << (sender == task ? QStringLiteral("finished") : QStringLiteral("finished(other)"));
        });
        QObject::connect(task, &TaskSpecification::canceled, ctx, [this, task](TaskSpecification *sender) {
            events << (sender == task ? QStringLiteral("canceled") : QStringLiteral("canceled(other)"));
        });
        QObject::connect(task, &TaskSpecification::message, ctx,
                         [this](const QString &text) { events << QStringLiteral("message ") + text; });
        QObject::connect(task, &TaskSpecification::error, ctx,
                         [this](const QString &text) { events << QStringLiteral("error ") + text; });
    }

    static QString progressEvent(qreal value) { return QStringLiteral("progress ") + QString::number(value, 'g', 17); }

    int endCount() const { return events.count(QStringLiteral("finished")) + events.count(QStringLiteral("canceled")); }

    // True when every "finished" directly follows the progress event carrying the full weight.
    bool finishedFollowsFullProgress(qreal weight) const
    {
        for (int i = 0; i < events.size(); ++i) {
            if (events.at(i) == QLatin1String("finished") && (i == 0 || events.at(i - 1) != progressEvent(weight)))
                return false;
        }
        return true;
    }

    QStringList events;

private:
    std::unique_ptr<QObject> m_Context;
};

// Shared bookkeeping of a group of ManualTasks: start order and how many run at once.
struct StartTracker {
    QList<TaskSpecification *> order;
    int running = 0;
    int maxRunning = 0;
};

// A task the test ends by hand (finish/fail/cancelRun), or that ends inside its own execute().
class ManualTask : public TaskSpecification
{
public:
    enum class OnExecute { Run, Finish, Fail, Cancel };
    enum class OnCancel { Record, EndCanceled };
    enum class OnOther { Record, EndFailed };

    ManualTask(QObject *parent, qreal weight, StartTracker *tracker = nullptr)
        : TaskSpecification(parent, weight), m_Tracker(tracker)
    {
    }

    void execute() override
    {
        ++executeCount;
        m_TaskState = TASK_RUNNING;
        if (m_Tracker) {
            m_Tracker->order << this;
            m_Tracker->maxRunning = qMax(m_Tracker->maxRunning, ++m_Tracker->running);
        }
        switch (onExecute) {
        case OnExecute::Run:
            break;
        case OnExecute::Finish:
            finish();
            break;
        case OnExecute::Fail:
            fail();
            break;
        case OnExecute::Cancel:
            cancelRun();
            break;
        }
    }

    void cancel() override
    {
        TaskSpecification::cancel();
        ++cancelCalls;
        if (m_TaskState == TASK_RUNNING && onCancel == OnCancel::EndCanceled)
            cancelRun();
    }

    void handleOtherTaskCancelled(TaskSpecification *other) override
    {
        othersSeen << other;
        if (onOther == OnOther::EndFailed)
            fail();
    }

    void finish()
    {
        ended();
        reportFinished();
    }
    void fail()
    {
        ended();
        reportFailed();
    }
    void cancelRun()
    {
        ended();
        reportCanceled();
    }
    // Emits canceled again without any other change, like a task that reports a second time.
    void repeatCanceled() { emit canceled(this); }
    void progressTo(qreal fraction) { setProgress(fraction); }
    void callOnOtherTaskCancelled(TaskSpecification *other) { onOtherTaskCancelled(other); }

    OnExecute onExecute = OnExecute::Run;
    OnCancel onCancel = OnCancel::Record;
    OnOther onOther = OnOther::Record;
    int executeCount = 0;
    int cancelCalls = 0;
    QList<TaskSpecification *> othersSeen;

private:
    void ended()
    {
        if (m_Tracker && m_TaskState == TASK_RUNNING)
            --m_Tracker->running;
    }

    StartTracker *m_Tracker;
};

// A composed task whose subtasks the test adds before execute().
class TestComposed : public ComposedTaskSpecification
{
public:
    using ComposedTaskSpecification::ComposedTaskSpecification;

    void execute() override
    {
        ++executeCount;
        startSubtasks();
    }

    void subtasksDone() override
    {
        ++subtasksDoneCalls;
        ComposedTaskSpecification::subtasksDone();
    }

    // Ends the run on a verdict of its own while subtasks may still run.
    void failEarly() { reportFailed(); }
    void callOnOtherTaskCancelled(TaskSpecification *other) { onOtherTaskCancelled(other); }

    using ComposedTaskSpecification::computeOutcome;
    using ComposedTaskSpecification::discardSubtasks;
    using ComposedTaskSpecification::m_Ended;
    using ComposedTaskSpecification::m_Running;
    using ComposedTaskSpecification::m_SubtaskCanceled;
    using ComposedTaskSpecification::m_Waiting;

    int executeCount = 0;
    int subtasksDoneCalls = 0;
};

// What a ScriptedFunc does, copied into the worker when it is built.
struct WorkerScript {
    QStringList messages;
    QStringList errors;
    QList<qreal> fractions;
    bool result = true;
    // When set, the worker releases `started` and then waits for `gate` before doing anything else.
    QSemaphore *started = nullptr;
    QSemaphore *gate = nullptr;
    // Value the worker writes into its task's result record.
    int value = 0;
};

// The result record a ScriptedTask owns and its worker fills.
struct WorkerRecord {
    int value = -1;
    QThread *thread = nullptr;
};

class ScriptedFunc : public ASyncFunc
{
public:
    ScriptedFunc(const WorkerScript &script, WorkerRecord *record) : m_Script(script), m_Record(record) { ++alive; }
    ~ScriptedFunc() override { --alive; }

    bool run() override
    {
        if (m_Script.started)
            m_Script.started->release();
        if (m_Script.gate)
            m_Script.gate->acquire();
        for (const QString &text : qAsConst(m_Script.messages))
            emit message(text);
        for (const QString &text : qAsConst(m_Script.errors))
            emit error(text);
        for (qreal fraction : qAsConst(m_Script.fractions))
            emit progress(fraction);
        m_Record->thread = QThread::currentThread();
        m_Record->value = m_Script.value;
        return m_Script.result;
    }

    static std::atomic<int> alive;

private:
    const WorkerScript m_Script;
    WorkerRecord *const m_Record;
};

inline std::atomic<int> ScriptedFunc::alive{0};

class ScriptedTask : public ASyncTaskSpecification
{
public:
    ScriptedTask(QObject *parent, qreal weight) : ASyncTaskSpecification(parent, weight) {}

    ASyncFunc *createFunc() override
    {
        ++createCount;
        return new ScriptedFunc(script, externalRecord ? externalRecord : &record);
    }

    void runDone(bool res) override
    {
        ++runDoneCalls;
        runDoneThread = QThread::currentThread();
        valueSeenInRunDone = record.value;
        ASyncTaskSpecification::runDone(res);
    }

    // Ends the run on a verdict of its own before the worker's result arrived.
    void failEarly() { reportFailed(); }

    WorkerScript script;
    WorkerRecord record;
    // When set, the worker writes here instead of into `record` (a record that outlives the task).
    WorkerRecord *externalRecord = nullptr;
    int createCount = 0;
    int runDoneCalls = 0;
    QThread *runDoneThread = nullptr;
    int valueSeenInRunDone = -1;
};

#endif // TASKTESTHELPERS_H
