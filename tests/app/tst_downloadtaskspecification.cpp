#include "configuration.h"
#include "downloadtaskspecification.h"
#include "testhttpserver.h"

#include <QCryptographicHash>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
const int Version = 7;
const QString ServerPath = QStringLiteral("data/file.bin");
const QString UrlPath = QStringLiteral("/base/7/data/file.bin");

QByteArray makeBody(int size)
{
    QByteArray body(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        body[i] = char((i * 7 + i / 251) & 0xff);
    return body;
}

struct Poll {
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
};
} // namespace

class TestDownloadTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void downloadsBody_data();
    void downloadsBody();
    void statusOtherThan200Fails_data();
    void statusOtherThan200Fails();
    void brokenTransferIsRetriedFromByteZero_data();
    void brokenTransferIsRetriedFromByteZero();
    void stallTimesOutAtSixteenthPoll();
    void figuresAndSpeed();
    void slowTransferIsNotAStall();
    void endingRunRemovesPartialFile_data();
    void endingRunRemovesPartialFile();
    void cancelFromProgressHandler();
    void oversizeBodyIsCutAndRetried_data();
    void oversizeBodyIsCutAndRetried();
    void oversizeEveryTimeFails();
    void resetGivesFiveNewAttempts();
    void digestMismatchIsRetried();
    void uncreatableTargetFailsAtOnce();

private:
    // Builds the task for the current server and temporary directory.
    DownloadTaskSpecification *makeTask(qint64 expectedSize);
    void waitForEnd();
    Poll poll();
    QString target() const { return m_Dir->filePath(QStringLiteral("file.bin")); }

    std::unique_ptr<TestHttpServer> m_Server;
    std::unique_ptr<QTemporaryDir> m_Dir;
    std::unique_ptr<QNetworkAccessManager> m_Manager;
    DownloadTaskSpecification *m_Task = nullptr;
    std::unique_ptr<QSignalSpy> m_Finished, m_Canceled, m_Messages, m_Errors;
};

void TestDownloadTaskSpecification::init()
{
    m_Server.reset(new TestHttpServer);
    QVERIFY(m_Server->listen());
    Configuration::downloadBaseUrl = m_Server->baseUrl() + QStringLiteral("/base/");
    m_Dir.reset(new QTemporaryDir);
    QVERIFY(m_Dir->isValid());
    m_Manager.reset(new QNetworkAccessManager);
    m_Manager->setProxy(QNetworkProxy::NoProxy);
}

void TestDownloadTaskSpecification::cleanup()
{
    m_Finished.reset();
    m_Canceled.reset();
    m_Messages.reset();
    m_Errors.reset();
    delete m_Task;
    m_Task = nullptr;
    m_Manager.reset();
    m_Server.reset();
    m_Dir.reset();
}

DownloadTaskSpecification *TestDownloadTaskSpecification::makeTask(qint64 expectedSize)
{
    m_Task = new DownloadTaskSpecification(m_Manager.get(), ServerPath, Version, target(), expectedSize, nullptr, 0.5);
    m_Finished.reset(new QSignalSpy(m_Task, &TaskSpecification::finished));
    m_Canceled.reset(new QSignalSpy(m_Task, &TaskSpecification::canceled));
    m_Messages.reset(new QSignalSpy(m_Task, &TaskSpecification::message));
    m_Errors.reset(new QSignalSpy(m_Task, &TaskSpecification::error));
    return m_Task;
}

void TestDownloadTaskSpecification::waitForEnd()
{
    QTRY_VERIFY_WITH_TIMEOUT(m_Finished->count() + m_Canceled->count() > 0, 20000);
    // Exactly one end signal per run, also after the event loop ran on.
    QTest::qWait(20);
    QCOMPARE(m_Finished->count() + m_Canceled->count(), 1);
}

Poll TestDownloadTaskSpecification::poll()
{
    Poll p;
    m_Task->getDownloadStatus(p.done, p.total, p.speed, p.downloading);
    return p;
}

static QStringList texts(const QSignalSpy &spy)
{
    QStringList list;
    for (const QList<QVariant> &args : spy)
        list << args.at(0).toString();
    return list;
}

void TestDownloadTaskSpecification::downloadsBody_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("sendLength");
    QTest::addColumn<qint64>("expectedSize");

    QTest::newRow("length, size unknown") << 100000 << true << qint64(-1);
    QTest::newRow("no length, size unknown") << 100000 << false << qint64(-1);
    QTest::newRow("no length, size known") << 100000 << false << qint64(100000);
    QTest::newRow("length, size known") << 5000 << true << qint64(5000);
    QTest::newRow("empty body") << 0 << true << qint64(0);
}

void TestDownloadTaskSpecification::downloadsBody()
{
    QFETCH(int, size);
    QFETCH(bool, sendLength);
    QFETCH(qint64, expectedSize);

    const QByteArray body = makeBody(size);
    TestHttpServer::Response response = TestHttpServer::Response::ok(body);
    response.contentLength = sendLength ? -1 : -2;
    response.chunkSize = 7000; // several pieces, so progress is seen on the way
    m_Server->setResponse(UrlPath, response);

    makeTask(expectedSize);
    QSignalSpy progress(m_Task, &TaskSpecification::updateProgress);
    m_Task->execute();
    QCOMPARE(m_Task->taskState(), int(TASK_RUNNING));
    waitForEnd();

    QCOMPARE(m_Finished->count(), 1);
    QCOMPARE(m_Task->taskState(), int(TASK_FINISHED));
    QCOMPARE(m_Task->progress(), 0.5);
    QCOMPARE(texts(*m_Messages),
             QStringList({QStringLiteral("Downloading data/file.bin"),
                          QStringLiteral("Downloading data/file.bin finished")}));
    QVERIFY(m_Errors->isEmpty());
    QFile file(target());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), body);
    QCOMPARE(m_Server->requestCount(UrlPath), 1);
    QVERIFY(m_Server->lastRequestHeader(UrlPath).startsWith("GET /base/7/data/file.bin HTTP/1.1\r\n"));

    // Without any total, progress stays 0 until the end reports the full weight.
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(0).toReal(), 0.5);
    if (!sendLength && expectedSize < 0) {
        for (int i = 0; i + 1 < progress.size(); ++i)
            QCOMPARE(progress.at(i).at(0).toReal(), 0.0);
    }

    // The total is the known size, or the length the transfer reported.
    const Poll p = poll();
    QCOMPARE(p.done, quint64(size));
    QCOMPARE(p.total, quint64(size));
    QCOMPARE(p.speed, quint64(size));
    QVERIFY(!p.downloading);
}

void TestDownloadTaskSpecification::statusOtherThan200Fails_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("404") << 404;
    QTest::newRow("301") << 301;
    QTest::newRow("302") << 302;
    QTest::newRow("500") << 500;
    QTest::newRow("206") << 206;
}

void TestDownloadTaskSpecification::statusOtherThan200Fails()
{
    QFETCH(int, status);
    TestHttpServer::Response response = (status == 301 || status == 302)
        ? TestHttpServer::Response::redirect(status, m_Server->baseUrl() + QStringLiteral("/elsewhere"))
        : TestHttpServer::Response::withStatus(status, "a body that must not be saved");
    m_Server->setResponse(UrlPath, response);
    m_Server->setResponse(QStringLiteral("/elsewhere"), TestHttpServer::Response::ok("followed"));

    makeTask(-1)->execute();
    waitForEnd();

    QCOMPARE(m_Canceled->count(), 1);
    QCOMPARE(m_Task->taskState(), int(TASK_FAILED));
    const QString returned = QStringLiteral("data/file.bin returned %1").arg(status);
    QCOMPARE(texts(*m_Messages),
             QStringList({QStringLiteral("Downloading data/file.bin"), returned, returned, returned, returned, returned,
                          QStringLiteral("Unable to download data/file.bin")}));
    QVERIFY(m_Errors->isEmpty());
    QCOMPARE(m_Server->requestCount(UrlPath), 5);
    QCOMPARE(m_Server->requestCount(QStringLiteral("/elsewhere")), 0);
    QVERIFY(!QFile::exists(target()));
}

void TestDownloadTaskSpecification::brokenTransferIsRetriedFromByteZero_data()
{
    QTest::addColumn<int>("failures");
    QTest::addColumn<bool>("lieAboutLength");
    QTest::newRow("cut once") << 1 << false;
    QTest::newRow("cut four times, fifth succeeds") << 4 << false;
    QTest::newRow("length larger than the body") << 2 << true;
}

void TestDownloadTaskSpecification::brokenTransferIsRetriedFromByteZero()
{
    QFETCH(int, failures);
    QFETCH(bool, lieAboutLength);

    const QByteArray body = makeBody(300000);
    QList<TestHttpServer::Response> responses;
    for (int i = 0; i < failures; ++i) {
        TestHttpServer::Response broken = TestHttpServer::Response::ok(body);
        if (lieAboutLength) {
            broken.body = body.left(120000);
            broken.contentLength = body.size();
        } else {
            broken.cutAfter = 120000;
        }
        responses << broken;
    }
    responses << TestHttpServer::Response::ok(body);
    m_Server->setResponses(UrlPath, responses);

    makeTask(-1)->execute();
    waitForEnd();

    QCOMPARE(m_Finished->count(), 1);
    QCOMPARE(m_Server->requestCount(UrlPath), failures + 1);
    QFile file(target());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.size(), qint64(body.size()));
    QVERIFY(file.readAll() == body);
    // The start message, one reason per broken attempt, the end message.
    QCOMPARE(m_Messages->count(), failures + 2);
    QCOMPARE(poll().done, quint64(body.size()));
}

void TestDownloadTaskSpecification::stallTimesOutAtSixteenthPoll()
{
    const QByteArray body = makeBody(50000);
    TestHttpServer::Response stalled = TestHttpServer::Response::ok(body);
    stalled.stallAfter = 20000;
    m_Server->setResponses(UrlPath, {stalled, TestHttpServer::Response::ok(body)});

    makeTask(body.size())->execute();
    // Wait through the progress, not through polls: a poll is what counts towards the stall.
    QTRY_COMPARE(m_Task->progress(), 0.5 * 20000 / 50000);

    for (int i = 1; i <= 15; ++i) {
        const Poll p = poll();
        QVERIFY2(p.downloading, qPrintable(QStringLiteral("poll %1").arg(i)));
        QCOMPARE(p.done, quint64(20000));
    }
    QCOMPARE(m_Messages->count(), 1);
    QCOMPARE(m_Server->requestCount(UrlPath), 1);

    QSignalSpy progress(m_Task, &TaskSpecification::updateProgress);
    const Poll sixteenth = poll();
    QVERIFY(!sixteenth.downloading);
    QCOMPARE(texts(*m_Messages).at(1), QStringLiteral("file data/file.bin timed out"));
    // The timed-out attempt is dropped and the next one starts from byte 0.
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.first().at(0).toReal(), 0.0);

    waitForEnd();
    QCOMPARE(m_Finished->count(), 1);
    QCOMPARE(m_Server->requestCount(UrlPath), 2);
    QFile file(target());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == body);
}

void TestDownloadTaskSpecification::figuresAndSpeed()
{
    const QByteArray body = makeBody(10000);
    TestHttpServer::Response stalled = TestHttpServer::Response::ok(body);
    stalled.stallAfter = 3000;
    m_Server->setResponses(UrlPath, {stalled, TestHttpServer::Response::ok(body)});

    makeTask(body.size())->execute();
    QTRY_COMPARE(m_Task->progress(), 0.5 * 3000 / 10000);

    Poll p = poll();
    QCOMPARE(p.done, quint64(3000));
    QCOMPARE(p.total, quint64(10000));
    QCOMPARE(p.speed, quint64(3000));
    QVERIFY(p.downloading);
    // Speed counts the bytes since the previous poll.
    p = poll();
    QCOMPARE(p.done, quint64(3000));
    QCOMPARE(p.speed, quint64(0));
    QVERIFY(p.downloading);

    // The server drops the stalled connection before the announced length: a failed attempt, retried.
    m_Server->closeAllConnections();
    waitForEnd();
    QCOMPARE(m_Finished->count(), 1);
    QCOMPARE(m_Server->requestCount(UrlPath), 2);
    p = poll();
    QCOMPARE(p.done, quint64(10000));
    QCOMPARE(p.total, quint64(10000));
    QCOMPARE(p.speed, quint64(10000));
    QVERIFY(!p.downloading);
    // A finished download keeps reporting its bytes, so a list's done figure does not fall back.
    p = poll();
    QCOMPARE(p.done, quint64(10000));
    QCOMPARE(p.speed, quint64(0));
}

void TestDownloadTaskSpecification::slowTransferIsNotAStall()
{
    // Every piece of data resets the stall count: many more than sixteen polls in all, never sixteen in
    // a row without data, so the slow transfer finishes on its first attempt.
    const QByteArray body = makeBody(24000);
    TestHttpServer::Response slow = TestHttpServer::Response::ok(body);
    slow.chunkSize = 1000;
    slow.chunkDelayMs = 10;
    m_Server->setResponse(UrlPath, slow);

    makeTask(body.size());
    int polls = 0;
    connect(m_Task, &TaskSpecification::updateProgress, this, [this, &polls] {
        if (m_Task->taskState() != TASK_RUNNING)
            return;
        for (int i = 0; i < 10; ++i, ++polls)
            poll();
    });
    m_Task->execute();
    waitForEnd();
    QCOMPARE(m_Finished->count(), 1);
    QVERIFY2(polls > 16 * 3, qPrintable(QString::number(polls)));
    QCOMPARE(m_Server->requestCount(UrlPath), 1);
    QVERIFY(!texts(*m_Messages).contains(QStringLiteral("file data/file.bin timed out")));
}

void TestDownloadTaskSpecification::endingRunRemovesPartialFile_data()
{
    QTest::addColumn<bool>("userCancel");
    QTest::newRow("cancel") << true;
    QTest::newRow("sibling cancelled") << false;
}

void TestDownloadTaskSpecification::endingRunRemovesPartialFile()
{
    QFETCH(bool, userCancel);
    TestHttpServer::Response stalled = TestHttpServer::Response::ok(makeBody(100000));
    stalled.stallAfter = 40000;
    m_Server->setResponse(UrlPath, stalled);

    makeTask(100000)->execute();
    QTRY_COMPARE(m_Task->progress(), 0.5 * 40000 / 100000);
    QVERIFY(QFile::exists(target()));

    if (userCancel) {
        m_Task->cancel();
        QCOMPARE(m_Task->taskState(), int(TASK_CANCELED));
        QCOMPARE(m_Messages->count(), 1);
    } else {
        DownloadTaskSpecification sibling(m_Manager.get(), QStringLiteral("other"), Version, target() + ".other", -1,
                                          nullptr, 1);
        QVERIFY(QMetaObject::invokeMethod(m_Task, "onOtherTaskCancelled", Q_ARG(TaskSpecification *, &sibling)));
        QCOMPARE(m_Task->taskState(), int(TASK_FAILED));
        QCOMPARE(texts(*m_Messages).last(), QStringLiteral("Abort downloading data/file.bin"));
    }
    QCOMPARE(m_Canceled->count(), 1);
    QVERIFY(!QFile::exists(target()));
    QCOMPARE(m_Task->progress(), 0.0);
    // Nothing of the dropped transfer reaches the task afterwards.
    QTest::qWait(50);
    QCOMPARE(m_Canceled->count() + m_Finished->count(), 1);
    QCOMPARE(m_Server->requestCount(UrlPath), 1);
    QVERIFY(!QFile::exists(target()));
}

void TestDownloadTaskSpecification::cancelFromProgressHandler()
{
    // A parent may cancel while the task is still writing a piece (its progress signal comes from there).
    m_Server->setResponse(UrlPath, TestHttpServer::Response::ok(makeBody(200000)));
    makeTask(200000);
    connect(m_Task, &TaskSpecification::updateProgress, this, [this](qreal progress) {
        if (progress > 0 && m_Task->taskState() == TASK_RUNNING)
            m_Task->cancel();
    });
    m_Task->execute();
    waitForEnd();
    QCOMPARE(m_Canceled->count(), 1);
    QCOMPARE(m_Task->taskState(), int(TASK_CANCELED));
    QVERIFY(!QFile::exists(target()));
    QCOMPARE(m_Server->requestCount(UrlPath), 1);
}

void TestDownloadTaskSpecification::oversizeBodyIsCutAndRetried_data()
{
    QTest::addColumn<bool>("sendLength");
    QTest::newRow("announced length too large") << true;
    QTest::newRow("no length, body too long") << false;
}

void TestDownloadTaskSpecification::oversizeBodyIsCutAndRetried()
{
    QFETCH(bool, sendLength);
    const QByteArray body = makeBody(30000);
    TestHttpServer::Response oversize = TestHttpServer::Response::ok(body + makeBody(200000));
    oversize.contentLength = sendLength ? -1 : -2;
    m_Server->setResponses(UrlPath, {oversize, TestHttpServer::Response::ok(body)});

    makeTask(body.size())->execute();
    QSignalSpy progress(m_Task, &TaskSpecification::updateProgress);
    waitForEnd();

    QCOMPARE(m_Finished->count(), 1);
    QCOMPARE(m_Server->requestCount(UrlPath), 2);
    QVERIFY(texts(*m_Messages).contains(QStringLiteral("data/file.bin is larger than the expected 30000 bytes")));
    QFile file(target());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == body);
    // The progress never went past the full share, so no more than the expected bytes were written.
    for (const QList<QVariant> &args : progress)
        QVERIFY(args.at(0).toReal() <= 0.5);
}

void TestDownloadTaskSpecification::oversizeEveryTimeFails()
{
    TestHttpServer::Response oversize = TestHttpServer::Response::ok(makeBody(5000));
    oversize.contentLength = -2;
    m_Server->setResponse(UrlPath, oversize);

    makeTask(4999)->execute();
    waitForEnd();
    QCOMPARE(m_Task->taskState(), int(TASK_FAILED));
    QCOMPARE(m_Server->requestCount(UrlPath), 5);
    QCOMPARE(texts(*m_Messages).last(), QStringLiteral("Unable to download data/file.bin"));
    QVERIFY(!QFile::exists(target()));
}

void TestDownloadTaskSpecification::resetGivesFiveNewAttempts()
{
    m_Server->setResponse(UrlPath, TestHttpServer::Response::withStatus(404));
    makeTask(-1)->execute();
    waitForEnd();
    QCOMPARE(m_Server->requestCount(UrlPath), 5);

    m_Task->reset();
    QCOMPARE(m_Task->taskState(), int(TASK_IDLE));
    m_Canceled->clear();
    m_Server->setResponses(UrlPath,
                           {TestHttpServer::Response::withStatus(404), TestHttpServer::Response::withStatus(404),
                            TestHttpServer::Response::withStatus(404), TestHttpServer::Response::withStatus(404),
                            TestHttpServer::Response::withStatus(404), TestHttpServer::Response::withStatus(404),
                            TestHttpServer::Response::withStatus(404), TestHttpServer::Response::withStatus(404),
                            TestHttpServer::Response::withStatus(404), TestHttpServer::Response::ok("fine")});
    m_Task->execute();
    waitForEnd();
    QCOMPARE(m_Finished->count(), 1);
    QCOMPARE(m_Server->requestCount(UrlPath), 10);
}

void TestDownloadTaskSpecification::digestMismatchIsRetried()
{
    const QByteArray body = makeBody(40000);
    QByteArray damaged = body;
    damaged[12345] = char(damaged[12345] ^ 1);
    m_Server->setResponses(UrlPath, {TestHttpServer::Response::ok(damaged), TestHttpServer::Response::ok(body)});

    makeTask(body.size());
    const QByteArray digest = QCryptographicHash::hash(body, QCryptographicHash::Sha512).toHex().toUpper();
    m_Task->setExpectedSha512(QString::fromLatin1(digest));
    m_Task->execute();
    waitForEnd();

    QCOMPARE(m_Finished->count(), 1);
    QCOMPARE(m_Server->requestCount(UrlPath), 2);
    QVERIFY(texts(*m_Messages).contains(QStringLiteral("Signature check failed for %1").arg(target())));
    QFile file(target());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == body);
}

void TestDownloadTaskSpecification::uncreatableTargetFailsAtOnce()
{
    m_Server->setResponse(UrlPath, TestHttpServer::Response::ok("x"));
    const QString missingDir = m_Dir->filePath(QStringLiteral("no/such/dir/file.bin"));
    m_Task = new DownloadTaskSpecification(m_Manager.get(), ServerPath, Version, missingDir, -1, nullptr, 1);
    QSignalSpy canceled(m_Task, &TaskSpecification::canceled);
    QSignalSpy errors(m_Task, &TaskSpecification::error);
    m_Task->execute();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(m_Task->taskState(), int(TASK_FAILED));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().at(0).toString(), QStringLiteral("Unable to create file %1 for saving").arg(missingDir));
    QTest::qWait(20);
    QCOMPARE(m_Server->totalRequests(), 0);
}

QTEST_GUILESS_MAIN(TestDownloadTaskSpecification)
#include "tst_downloadtaskspecification.moc"
