#include "applyensemblepatch.h"
#include "fileopstestutil.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "rollback.h"
#include "testpaths.h"

#include "create/ensemble_create.h"
#include "create/lzma_container_create.h"
#include "lib/streams.h"

#include <QDir>
#include <QMutex>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <memory>
#include <vector>
#include <zlib.h>

using namespace FileOpsTestUtil;

namespace {

// Debug lines from every thread; the patch worker logs on a pool thread.
QMutex g_LogMutex;
QStringList g_Log;

void captureDebug(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg) {
        QMutexLocker locker(&g_LogMutex);
        g_Log << text;
    }
}

QStringList takeLog()
{
    QMutexLocker locker(&g_LogMutex);
    QStringList log;
    log.swap(g_Log);
    return log;
}

QByteArray fromStream(const vtpatch::WriteStream &stream)
{
    return QByteArray(reinterpret_cast<const char *>(stream.Data()), int(stream.Length()));
}

const uint8_t *bytes(const QByteArray &data)
{
    return reinterpret_cast<const uint8_t *>(data.constData());
}

// A real ensemble patch as the publisher tools make it; executables in both files become elements.
QByteArray ensemblePatch(const QByteArray &oldData, const QByteArray &newData, size_t *elements = nullptr)
{
    vtpatch::WriteStream patch;
    vtpatch::EnsembleOptions options;
    options.preset = 6;
    // Always use the elements found, even where a plain diff would be smaller, so that patching an
    // executable goes through disassembly.
    options.keep_smaller = false;
    std::string error;
    if (!vtpatch::CreateEnsemblePatch(bytes(oldData), size_t(oldData.size()), bytes(newData), size_t(newData.size()),
                                      &patch, options, &error, elements)) {
        qWarning("CreateEnsemblePatch: %s", error.c_str());
        return QByteArray();
    }
    return fromStream(patch);
}

QByteArray container(const QByteArray &data)
{
    vtpatch::WriteStream out;
    if (!vtpatch::CreateLzmaContainer(bytes(data), size_t(data.size()), true, &out, nullptr, 6, nullptr)) {
        return QByteArray();
    }
    return fromStream(out);
}

QByteArray gzip(const QByteArray &data)
{
    QByteArray out(int(compressBound(uLong(data.size()))) + 64, '\0');
    z_stream stream = {};
    // windowBits 15 + 16: a gzip wrapper, as the gzip tool writes.
    if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return QByteArray();
    }
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        return QByteArray();
    }
    out.resize(int(stream.total_out));
    return out;
}

// The same data with a few stretches changed and some bytes inserted, like a new release.
QByteArray edited(const QByteArray &data)
{
    QByteArray result = data;
    result.replace(1000, 20, QByteArray("a new stretch of text for version two"));
    result.insert(result.size() / 2, sampleBytes(3000, 99));
    result[result.size() - 10] = char(result[result.size() - 10] ^ 0x5A);
    return result;
}

} // namespace

class TestFileTaskSpecification_patch : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void statusMapping_data();
    void statusMapping();
    void patchesRealFiles_data();
    void patchesRealFiles();
    void failures_data();
    void failures();
    void unpackAndPatchTasksRunTogether();

private:
    QString path(const QString &name) const { return m_Dir->filePath(name); }

    QScopedPointer<QTemporaryDir> m_Dir;
    QtMessageHandler m_PreviousHandler = nullptr;
};

void TestFileTaskSpecification_patch::init()
{
    m_Dir.reset(new QTemporaryDir);
    QVERIFY(m_Dir->isValid());
    takeLog();
    m_PreviousHandler = qInstallMessageHandler(captureDebug);
}

void TestFileTaskSpecification_patch::cleanup()
{
    qInstallMessageHandler(m_PreviousHandler);
}

void TestFileTaskSpecification_patch::statusMapping_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("line"); // empty: no line at all

    QTest::newRow("1 success") << 1 << true << QString();
    QTest::newRow("5 wrong magic") << 5 << false << "Not an ensemble patch";
    QTest::newRow("6 wrong version") << 6 << false << "Wrong version patch";
    QTest::newRow("7 corrupt header") << 7 << false << "Corrupt patch";
    QTest::newRow("20 stream error") << 20 << false << "Stream error (likely out of memory or disk space)";
    QTest::newRow("25 disassembly") << 25 << false << "Disassembly failed (could be because of memory issues)";
    for (int status : {0, 2, 3, 4, 8, 12, 21, 23, 24, 26, 28, 99}) {
        QTest::addRow("%d without a line", status) << status << false << QString();
    }
}

void TestFileTaskSpecification_patch::statusMapping()
{
    QFETCH(int, status);
    QFETCH(bool, result);
    QFETCH(QString, line);
    QCOMPARE(ApplyEnsemblePatchResult(status), result);
    QCOMPARE(takeLog(), line.isEmpty() ? QStringList() : QStringList(line));
}

void TestFileTaskSpecification_patch::patchesRealFiles_data()
{
    QTest::addColumn<QByteArray>("oldData");
    QTest::addColumn<QByteArray>("newData");
    QTest::addColumn<int>("elements");

    const QByteArray data = sampleBytes(120 * 1024, 3);
    QTest::newRow("data file") << data << edited(data) << 0;
    const QString exe = TestPaths::dataFile("exe/");
    QTest::newRow("x86-64 executable") << readFile(exe + "elf-x64-pie-v1") << readFile(exe + "elf-x64-pie-v2") << 1;
    QTest::newRow("PE32 executable") << readFile(exe + "pe32-v1.exe") << readFile(exe + "pe32-v2.exe") << 1;
}

void TestFileTaskSpecification_patch::patchesRealFiles()
{
    QFETCH(QByteArray, oldData);
    QFETCH(QByteArray, newData);
    QFETCH(int, elements);
    QVERIFY(!oldData.isEmpty() && !newData.isEmpty());
    size_t elementCount = 0;
    const QByteArray patch = ensemblePatch(oldData, newData, &elementCount);
    QVERIFY(!patch.isEmpty());
    QCOMPARE(int(elementCount), elements);
    QVERIFY(writeFile(path("old"), oldData));
    QVERIFY(writeFile(path("patch"), patch));

    RollbackDataList journal;
    FileTaskSpecification_patch task(&journal, path("old"), path("patch"), path("new"), nullptr, 0.8);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QCOMPARE(runToEnd(&task), int(TASK_FINISHED));
    QCOMPARE(messages.count(), 0);
    QCOMPARE(task.m_Progress, 0.8);
    QCOMPARE(readFile(path("new")), newData);
    QCOMPARE(journalText(journal), QStringList(QStringLiteral("FILE_CREATE %1").arg(path("new"))));
    QCOMPARE(readFile(path("old")), oldData);
    QCOMPARE(readFile(path("patch")), patch);
    const QStringList log = takeLog();
    QVERIFY2(log.contains(
                 QStringLiteral("ApplyEnsemblePatch status = 1 %1 %2 %3").arg(path("old"), path("patch"), path("new"))),
             qPrintable(log.join('\n')));
    QVERIFY(log.contains("Patch result true"));
}

void TestFileTaskSpecification_patch::failures_data()
{
    QTest::addColumn<bool>("oldExists");
    QTest::addColumn<bool>("patchExists");
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("line"); // the mapped debug line, if the status has one

    const QByteArray oldData = sampleBytes(40 * 1024, 4);
    const QByteArray patch = ensemblePatch(oldData, edited(oldData));
    const QByteArray foreign = ensemblePatch(sampleBytes(40 * 1024, 5), edited(oldData));
    QByteArray otherVersion = patch;
    otherVersion[4] = char(otherVersion[4] ^ 0x01); // first byte of the version varint
    QByteArray corruptBody = patch;
    for (int i = 20; i < corruptBody.size(); i += 3) {
        corruptBody[i] = char(0xA5);
    }

    QTest::newRow("wrong magic") << true << true << QByteArray("this is not a patch at all") << "new" << 5
                                 << "Not an ensemble patch";
    QTest::newRow("wrong magic, old file missing too")
        << false << true << QByteArray("this is not a patch at all") << "new" << 5 << "Not an ensemble patch";
    QTest::newRow("another version") << true << true << otherVersion << "new" << 6 << "Wrong version patch";
    QTest::newRow("header cut short") << true << true << patch.left(8) << "new" << 7 << "Corrupt patch";
    QTest::newRow("patch missing") << true << false << QByteArray() << "new" << 3 << QString();
    QTest::newRow("old file missing") << false << true << patch << "new" << 4 << QString();
    QTest::newRow("patch made for another old file") << true << true << foreign << "new" << 8 << QString();
    QTest::newRow("corrupt body") << true << true << corruptBody << "new" << 20
                                  << "Stream error (likely out of memory or disk space)";
    QTest::newRow("destination directory missing") << true << true << patch << "missing/new" << 4 << QString();
}

void TestFileTaskSpecification_patch::failures()
{
    QFETCH(bool, oldExists);
    QFETCH(bool, patchExists);
    QFETCH(QByteArray, patch);
    QFETCH(QString, destination);
    QFETCH(int, status);
    QFETCH(QString, line);

    const QByteArray oldData = sampleBytes(40 * 1024, 4);
    if (oldExists) {
        QVERIFY(writeFile(path("old"), oldData));
    }
    if (patchExists) {
        QVERIFY(writeFile(path("patch"), patch));
    }

    RollbackDataList journal;
    FileTaskSpecification_patch task(&journal, path("old"), path("patch"), path(destination), nullptr, 0.8);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy errors(&task, &TaskSpecification::error);
    QCOMPARE(runToEnd(&task), int(TASK_FAILED));
    QCOMPARE(errors.count(), 0);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("Could not patch '%1' to '%2'").arg(path("old"), path(destination)));
    QVERIFY(journal.isEmpty());
    QVERIFY(!QFileInfo::exists(path(destination)));
    if (oldExists) {
        QCOMPARE(readFile(path("old")), oldData);
    }
    if (patchExists) {
        QCOMPARE(readFile(path("patch")), patch);
    }

    const QStringList log = takeLog();
    const QString statusLine = QStringLiteral("ApplyEnsemblePatch status = %1 %2 %3 %4")
                                   .arg(status)
                                   .arg(path("old"), path("patch"), path(destination));
    const int at = log.indexOf(statusLine);
    QVERIFY2(at >= 0, qPrintable(log.join('\n')));
    // The mapped line follows the status line directly, then the worker's verdict.
    QStringList expected;
    if (!line.isEmpty()) {
        expected << line;
    }
    expected << "Patch result false";
    QCOMPARE(log.mid(at + 1, expected.size()), expected);
}

void TestFileTaskSpecification_patch::unpackAndPatchTasksRunTogether()
{
    // Enough threads that the tasks really overlap; each has its own files and journal.
    QThreadPool *pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    pool->setMaxThreadCount(8);
    auto restore = qScopeGuard([&]() { pool->setMaxThreadCount(threads); });

    const QByteArray exeOld = readFile(TestPaths::dataFile("exe/elf-x64-pie-v1"));
    const QByteArray exeNew = readFile(TestPaths::dataFile("exe/elf-x64-pie-v2"));
    struct Job {
        std::unique_ptr<SlowFileOpSpecification> task;
        RollbackDataList journal;
        QString destination;
        QByteArray expected; // empty: the task must fail
    };
    std::vector<std::unique_ptr<Job>> jobs;
    for (int i = 0; i < 4; ++i) {
        const QString n = QString::number(i);
        const QByteArray data = i == 0 ? exeNew : sampleBytes(150 * 1024 + i * 777, 10 + i);

        auto unpack = std::make_unique<Job>();
        QVERIFY(writeFile(path("packed" + n), container(data)));
        unpack->destination = path("unpacked" + n);
        unpack->expected = data;
        unpack->task.reset(new FileUnpackTaskSpecification_lzma2(&unpack->journal, path("packed" + n),
                                                                 unpack->destination, nullptr, 1.0));
        jobs.push_back(std::move(unpack));

        auto unzip = std::make_unique<Job>();
        QVERIFY(writeFile(path("gz" + n), gzip(data)));
        unzip->destination = path("unzipped" + n);
        unzip->expected = data;
        unzip->task.reset(
            new FileUnpackTaskSpecification_zip(&unzip->journal, path("gz" + n), unzip->destination, nullptr, 1.0));
        jobs.push_back(std::move(unzip));

        auto patch = std::make_unique<Job>();
        const QByteArray oldData = i == 0 ? exeOld : sampleBytes(150 * 1024, 20 + i);
        const QByteArray newData = i == 0 ? exeNew : edited(oldData);
        QVERIFY(writeFile(path("old" + n), oldData));
        QVERIFY(writeFile(path("patch" + n), i == 3 ? QByteArray("not a patch") : ensemblePatch(oldData, newData)));
        patch->destination = path("patched" + n);
        patch->expected = i == 3 ? QByteArray() : newData;
        patch->task.reset(new FileTaskSpecification_patch(&patch->journal, path("old" + n), path("patch" + n),
                                                          patch->destination, nullptr, 1.0));
        jobs.push_back(std::move(patch));
    }

    int ended = 0;
    for (const auto &job : jobs) {
        connect(job->task.get(), &TaskSpecification::finished, this, [&ended]() { ++ended; });
        connect(job->task.get(), &TaskSpecification::canceled, this, [&ended]() { ++ended; });
    }
    for (const auto &job : jobs) {
        job->task->execute();
    }
    QTRY_COMPARE_WITH_TIMEOUT(ended, int(jobs.size()), 120000);

    for (const auto &job : jobs) {
        const QString name = QFileInfo(job->destination).fileName();
        if (job->expected.isEmpty()) {
            QCOMPARE(job->task->m_TaskState, int(TASK_FAILED));
            QVERIFY2(job->journal.isEmpty(), qPrintable(name));
            QVERIFY2(!QFileInfo::exists(job->destination), qPrintable(name));
            continue;
        }
        QVERIFY2(job->task->m_TaskState == TASK_FINISHED, qPrintable(name));
        QVERIFY2(readFile(job->destination) == job->expected, qPrintable(name));
        QCOMPARE(journalText(job->journal), QStringList(QStringLiteral("FILE_CREATE %1").arg(job->destination)));
    }
}

QTEST_GUILESS_MAIN(TestFileTaskSpecification_patch)
#include "tst_filetaskspecification_patch.moc"
