#include "asyncfunc.h"
#include "asynctaskspecification.h"
#include "composedtaskspecification.h"
#include "taskspecification.h"

#include <QHash>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QThreadPool>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <functional>

// Thousands of worker-thread tasks in nested composed tasks, with random failures, random cancellations
// and resets in mid-run, on the real global pool and event loop. Whatever happens, every task that
// started reports exactly one end per run, in a state that matches the signal, the composed tasks' outcomes
// follow the rules, limits hold, and nothing leaks. Run under ASan/UBSan and ThreadSanitizer as well.

namespace {
std::atomic<int> g_funcsAlive{0};
std::atomic<int> g_workerRuns{0};
int g_tasksAlive = 0;
int g_totalWorkerRuns = 0;
int g_restarts = 0;

quint32 checksum(const QByteArray &bytes)
{
    quint32 h = 2166136261u;
    for (char c : bytes)
        h = (h ^ quint8(c)) * 16777619u;
    return h;
}

// Everything the run must never do, counted with the first description kept for the failure message.
struct Violations {
    int count = 0;
    QString first;
    void add(const QString &what)
    {
        if (count++ == 0)
            first = what;
    }
};

class StressFunc : public ASyncFunc
{
public:
    StressFunc(const QByteArray &input, bool succeed, quint32 *out) : m_Input(input), m_Succeed(succeed), m_Out(out)
    {
        ++g_funcsAlive;
    }
    ~StressFunc() override { --g_funcsAlive; }

    bool run() override
    {
        ++g_workerRuns;
        emit progress(0.5);
        *m_Out = checksum(m_Input);
        if (!m_Succeed)
            emit error(QStringLiteral("Unable to process block"));
        return m_Succeed;
    }

private:
    const QByteArray m_Input;
    const bool m_Succeed;
    quint32 *const m_Out;
};

class StressComposed;

// A worker task whose result record is a checksum the GUI thread checks when the result arrives.
class StressLeaf : public ASyncTaskSpecification
{
public:
    StressLeaf(QObject *parent, qreal weight, const QByteArray &input, QRandomGenerator *random, double failRate,
               Violations *violations)
        : ASyncTaskSpecification(parent, weight), m_Input(input), m_Expected(checksum(input)), m_Random(random),
          m_FailRate(failRate), m_Violations(violations)
    {
        ++g_tasksAlive;
    }
    ~StressLeaf() override { --g_tasksAlive; }

    void execute() override;

    ASyncFunc *createFunc() override
    {
        m_Out = 0;
        return new StressFunc(m_Input, m_Random->generateDouble() >= m_FailRate, &m_Out);
    }

    void runDone(bool res) override
    {
        if (res && m_Out != m_Expected)
            m_Violations->add(QStringLiteral("result record not handed over"));
        ASyncTaskSpecification::runDone(res);
    }

private:
    const QByteArray m_Input;
    const quint32 m_Expected;
    quint32 m_Out = 0;
    QRandomGenerator *m_Random;
    const double m_FailRate;
    Violations *m_Violations;
};

// Ends inside its own execute(): the case of a list with nothing to do.
class InstantTask : public TaskSpecification
{
public:
    using TaskSpecification::TaskSpecification;
    void execute() override
    {
        m_TaskState = TASK_RUNNING;
        reportFinished();
    }
};

class StressComposed : public ComposedTaskSpecification
{
public:
    StressComposed(int limit, QObject *parent, qreal weight, Violations *violations)
        : ComposedTaskSpecification(limit, parent, weight), m_Violations(violations)
    {
        ++g_tasksAlive;
    }
    ~StressComposed() override { --g_tasksAlive; }

    void execute() override
    {
        checkStartAllowed(this);
        startSubtasks();
    }

    // Called by a subtask as it starts: the list must be running, must not be stopping, and must have a
    // free place.
    void checkChildStart(TaskSpecification *child)
    {
        if (m_TaskState != TASK_RUNNING)
            m_Violations->add(QStringLiteral("subtask started while its list is not running"));
        if (m_CancelRequested || m_SubtaskCanceled)
            m_Violations->add(QStringLiteral("subtask started after the list began to stop"));
        if (m_Running.size() > m_MaxParallel || !m_Running.contains(child))
            m_Violations->add(QStringLiteral("parallel limit broken"));
    }

    // The outcome the rules demand, judged from the subtasks' states once the list has ended.
    int expectedOutcome() const
    {
        bool anyCanceled = false;
        bool allFinished = true;
        for (const TaskSpecification *t : m_Tasks) {
            if (t->m_TaskState == TASK_FAILED)
                return TASK_FAILED;
            anyCanceled |= t->m_TaskState == TASK_CANCELED;
            allFinished &= t->m_TaskState == TASK_FINISHED;
        }
        if (anyCanceled)
            return TASK_CANCELED;
        if (allFinished)
            return TASK_FINISHED;
        return m_CancelRequested ? TASK_CANCELED : TASK_FAILED;
    }

    static void checkStartAllowed(TaskSpecification *task)
    {
        if (auto *list = dynamic_cast<StressComposed *>(task->parent()))
            list->checkChildStart(task);
    }

private:
    Violations *m_Violations;
};

void StressLeaf::execute()
{
    StressComposed::checkStartAllowed(this);
    ASyncTaskSpecification::execute();
}
} // namespace

class TestTaskStress : public QObject
{
    Q_OBJECT

private slots:
    void nestedListsUnderFireAndCancellation_data();
    void nestedListsUnderFireAndCancellation();
    void cleanupTestCase();

private:
    StressComposed *buildTree(int depth, QObject *parent, qreal weight);
    void watch(TaskSpecification *task);
    void onLeafEnded();
    void checkRun(const QString &what);

    QRandomGenerator m_Random;
    Violations m_Violations;
    QList<TaskSpecification *> m_All;
    QList<StressComposed *> m_Lists;
    QHash<const TaskSpecification *, int> m_Ends;
    QHash<const TaskSpecification *, qreal> m_LastProgress;
    double m_FailRate = 0;
    double m_CancelRate = 0;
    int m_Leaves = 0;
    // Leaf ends until the top is reset and started again in mid-run; 0 when not armed.
    int m_RestartCountdown = 0;
    std::function<void()> m_Restart;
};

StressComposed *TestTaskStress::buildTree(int depth, QObject *parent, qreal weight)
{
    auto *list = new StressComposed(1 + int(m_Random.bounded(6)), parent, weight, &m_Violations);
    watch(list);
    m_Lists << list;
    // Wide near the top and mostly leaves further down: a few hundred worker tasks per tree.
    static const quint32 listPercent[] = {80, 50, 20, 0};
    const int children = 3 + int(m_Random.bounded(8));
    for (int i = 0; i < children; ++i) {
        // Weights that do not add up to one on purpose.
        const qreal w = 0.05 + m_Random.generateDouble();
        const quint32 kind = m_Random.bounded(100);
        TaskSpecification *child;
        if (kind < listPercent[depth]) {
            child = buildTree(depth + 1, list, w);
        } else if (kind >= 97) {
            child = new InstantTask(list, w);
            watch(child);
        } else {
            QByteArray input(64 + int(m_Random.bounded(192)), Qt::Uninitialized);
            for (char &c : input)
                c = char(m_Random.bounded(256));
            child = new StressLeaf(list, w, input, &m_Random, m_FailRate, &m_Violations);
            watch(child);
            connect(child, &TaskSpecification::finished, this, &TestTaskStress::onLeafEnded);
            connect(child, &TaskSpecification::canceled, this, &TestTaskStress::onLeafEnded);
            ++m_Leaves;
        }
        list->addSubtask(child);
    }
    return list;
}

void TestTaskStress::watch(TaskSpecification *task)
{
    m_All << task;
    connect(task, &TaskSpecification::updateProgress, this, [this, task](qreal v) { m_LastProgress[task] = v; });
    connect(task, &TaskSpecification::finished, this, [this, task](TaskSpecification *sender) {
        ++m_Ends[task];
        if (sender != task || task->m_TaskState != TASK_FINISHED)
            m_Violations.add(QStringLiteral("finished does not match the state"));
        if (m_LastProgress.value(task, -1) != task->m_Weight)
            m_Violations.add(QStringLiteral("finished not preceded by the full weight"));
    });
    connect(task, &TaskSpecification::canceled, this, [this, task](TaskSpecification *sender) {
        ++m_Ends[task];
        if (sender != task || (task->m_TaskState != TASK_FAILED && task->m_TaskState != TASK_CANCELED))
            m_Violations.add(QStringLiteral("canceled does not match the state"));
    });
}

// Cancellations arrive at random moments: from inside a subtask's end signal, or from the event loop.
void TestTaskStress::onLeafEnded()
{
    if (m_RestartCountdown > 0 && --m_RestartCountdown == 0) {
        // From inside the leaf's end signal (its parent then hears an end of a task that no longer runs),
        // or from the event loop with results and starts of the abandoned run still queued.
        if (m_Random.bounded(2) == 0)
            m_Restart();
        else
            QTimer::singleShot(0, this, [this] { m_Restart(); });
        return;
    }
    if (m_Random.generateDouble() >= m_CancelRate)
        return;
    QPointer<TaskSpecification> target = m_All.at(int(m_Random.bounded(m_All.size())));
    if (m_Random.bounded(2) == 0)
        target->cancel();
    else
        QTimer::singleShot(0, this, [target] {
            if (target)
                target->cancel();
        });
}

void TestTaskStress::checkRun(const QString &what)
{
    for (const TaskSpecification *task : qAsConst(m_All)) {
        const int ends = m_Ends.value(task);
        if (task->m_TaskState == TASK_RUNNING)
            m_Violations.add(what + QStringLiteral(": a task still runs after the top ended"));
        else if (ends != (task->m_TaskState == TASK_IDLE ? 0 : 1))
            m_Violations.add(what + QStringLiteral(": %1 end signals for one run").arg(ends));
    }
    for (const StressComposed *list : qAsConst(m_Lists)) {
        if (list->m_TaskState != TASK_IDLE && list->m_TaskState != list->expectedOutcome())
            m_Violations.add(what + QStringLiteral(": outcome rules broken"));
    }
}

void TestTaskStress::nestedListsUnderFireAndCancellation_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<double>("failRate");
    QTest::addColumn<double>("cancelRate");
    QTest::newRow("no failures") << quint32(1) << 0.0 << 0.0;
    QTest::newRow("rare failures") << quint32(2) << 0.002 << 0.0;
    QTest::newRow("rare cancellations") << quint32(3) << 0.0 << 0.002;
    QTest::newRow("both, seed 4") << quint32(4) << 0.002 << 0.002;
    QTest::newRow("both, seed 5") << quint32(5) << 0.001 << 0.001;
    QTest::newRow("many failures") << quint32(6) << 0.05 << 0.0;
    QTest::newRow("many cancellations") << quint32(7) << 0.0 << 0.05;
    QTest::newRow("both often") << quint32(8) << 0.02 << 0.02;
}

void TestTaskStress::nestedListsUnderFireAndCancellation()
{
    QFETCH(quint32, seed);
    QFETCH(double, failRate);
    QFETCH(double, cancelRate);
    m_Random.seed(seed);
    m_FailRate = failRate;
    m_CancelRate = cancelRate;
    m_Violations = Violations();
    m_All.clear();
    m_Lists.clear();
    m_Leaves = 0;
    g_workerRuns = 0;

    StressComposed *top = nullptr;
    for (int attempt = 0; attempt < 20 && m_Leaves < 150; ++attempt) { // a tree big enough to matter
        delete top;
        m_All.clear();
        m_Lists.clear();
        m_Leaves = 0;
        top = buildTree(0, nullptr, 1);
    }
    QSignalSpy finished(top, &TaskSpecification::finished);
    QSignalSpy canceled(top, &TaskSpecification::canceled);
    int restarts = 0;
    m_Restart = [&] {
        if (top->m_TaskState != TASK_RUNNING)
            return; // the run ended before the restart came round
        // Abandon the run: reset waits for the pool, and nothing of the old run may reach the new one.
        top->reset();
        ++restarts;
        m_Ends.clear();
        m_LastProgress.clear();
        finished.clear();
        canceled.clear();
        top->execute();
    };

    for (int run = 0; run < 3; ++run) {
        const QString what = QStringLiteral("run %1").arg(run);
        m_Ends.clear();
        m_LastProgress.clear();
        finished.clear();
        canceled.clear();
        if (run == 1)
            m_RestartCountdown = 20 + int(m_Random.bounded(60));
        top->execute();
        if (finished.count() + canceled.count() == 0) {
            QEventLoop loop;
            connect(top, &TaskSpecification::finished, &loop, &QEventLoop::quit);
            connect(top, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
            QTimer::singleShot(120000, &loop, &QEventLoop::quit); // a lost end signal fails below
            loop.exec();
        }
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents(); // anything still queued must change nothing
        QCOMPARE(finished.count() + canceled.count(), 1);
        checkRun(what);
        QVERIFY2(m_Violations.count == 0, qPrintable(m_Violations.first));
        if (finished.count() == 1)
            QCOMPARE(top->m_Progress, qreal(1));
        top->reset();
    }
    g_totalWorkerRuns += g_workerRuns.load();
    g_restarts += restarts;
    m_RestartCountdown = 0;

    delete top;
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(g_tasksAlive, 0);
    QCOMPARE(g_funcsAlive.load(), 0);
}

void TestTaskStress::cleanupTestCase()
{
    // The point is volume: make sure the runs did not all stop after a handful of tasks.
    qInfo("worker tasks run: %d, runs abandoned midway: %d", g_totalWorkerRuns, g_restarts);
    QVERIFY(g_totalWorkerRuns >= 2000);
    QVERIFY(g_restarts >= 3);
}

QTEST_GUILESS_MAIN(TestTaskStress)
#include "tst_taskstress.moc"
