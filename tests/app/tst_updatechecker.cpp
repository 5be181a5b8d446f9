#include "protobufhelper.h"
#include "testhttpserver.h"
#include "updatechecker.h"

#include "UpdateMessage.pb.h"

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

namespace {
// The version server's reply for the given channels, each (name, number, text). Built with the
// partial serializer so that replies lacking required fields can be made too.
QByteArray reply(bool withLicense, const QList<std::tuple<QString, int, QString>> &channels, bool dropText = false)
{
    vantorel::updateserver::Versions versions;
    if (withLicense)
        versions.set_licenseagreementid(3);
    for (const auto &c : channels) {
        vantorel::updateserver::Channel *channel = versions.add_channels();
        channel->set_name(std::get<0>(c).toStdString());
        channel->set_version_number(std::get<1>(c));
        if (!dropText)
            channel->set_version_string(std::get<2>(c).toStdString());
    }
    std::string bytes;
    versions.SerializePartialToString(&bytes);
    return QByteArray(bytes.data(), int(bytes.size()));
}

UpdateVersions map(const QList<std::tuple<QString, QString, QString>> &entries)
{
    UpdateVersions versions;
    for (const auto &e : entries)
        versions.insert(std::get<0>(e), qMakePair(std::get<1>(e), std::get<2>(e)));
    return versions;
}

// The documented example: licenseAgreementId 1, one channel "stable", number 5, text "3.5.6".
const QByteArray Example = QByteArray::fromHex("080112110a06737461626c6510051a05332e352e36");
} // namespace

class TestUpdateChecker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void decodes_data();
    void decodes();
    void queriesServer_data();
    void queriesServer();
    void slotDecodesAndDeletesItself();
};

void TestUpdateChecker::initTestCase()
{
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
    QCOMPARE(Example.size(), 21);
}

void TestUpdateChecker::decodes_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<UpdateVersions>("expected");

    const UpdateVersions none;
    QTest::newRow("the 21-byte example") << Example << map({{"stable", "5", "3.5.6"}});
    QTest::newRow("the example without its first two bytes") << Example.mid(2) << none;
    QTest::newRow("the example cut short") << Example.left(20) << none;
    QTest::newRow("empty") << QByteArray() << none;
    QTest::newRow("two channels") << reply(true, {{"stable", 5, "3.5"}, {"beta", 6, "3.6b"}})
                                  << map({{"stable", "5", "3.5"}, {"beta", "6", "3.6b"}});
    QTest::newRow("first entry of a name wins")
        << reply(true, {{"stable", 5, "first"}, {"beta", 6, "b"}, {"stable", 7, "second"}})
        << map({{"stable", "5", "first"}, {"beta", "6", "b"}});
    QTest::newRow("licence id missing") << reply(false, {{"stable", 5, "3.5"}}) << none;
    QTest::newRow("channel text missing") << reply(true, {{"stable", 5, "3.5"}}, true) << none;
    QTest::newRow("version 0 and empty text") << reply(true, {{"alpha", 0, ""}}) << map({{"alpha", "0", ""}});
    QTest::newRow("negative number, other channel, UTF-8")
        << reply(true, {{"nightly", -3, QStringLiteral("3.\u00df")}})
        << map({{"nightly", "-3", QStringLiteral("3.\u00df")}});
    QTest::newRow("no channels") << QByteArray::fromHex("0801") << none;
    QTest::newRow("optional field present") << Example + QByteArray::fromHex("1802") << map({{"stable", "5", "3.5.6"}});
    QTest::newRow("wrong wire type for the licence id") << QByteArray::fromHex("0a0101") << none;
    QTest::newRow("garbage") << QByteArray("\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff", 11) << none;
    QTest::newRow("an HTML error page") << QByteArray("<html><body>404 Not Found</body></html>") << none;
}

void TestUpdateChecker::decodes()
{
    QFETCH(QByteArray, data);
    QFETCH(UpdateVersions, expected);
    QCOMPARE(ProtobufHelper::decodeVersions(data), expected);
}

void TestUpdateChecker::queriesServer_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<UpdateVersions>("expected");
    QTest::newRow("200 with the example") << 0 << map({{"stable", "5", "3.5.6"}});
    QTest::newRow("404 with a valid body") << 1 << UpdateVersions();
    QTest::newRow("redirect") << 2 << UpdateVersions();
    QTest::newRow("cut mid-body") << 3 << UpdateVersions();
    QTest::newRow("no answer within the time limit") << 4 << UpdateVersions();
    QTest::newRow("nobody listening") << 5 << UpdateVersions();
}

void TestUpdateChecker::queriesServer()
{
    QFETCH(int, mode);
    QFETCH(UpdateVersions, expected);

    TestHttpServer server;
    QVERIFY(server.listen());
    const QString path = QStringLiteral("/vt3-client-2");
    TestHttpServer::Response response = TestHttpServer::Response::ok(Example);
    switch (mode) {
    case 1: response = TestHttpServer::Response::withStatus(404, Example); break;
    case 2: response = TestHttpServer::Response::redirect(302, server.baseUrl() + "/elsewhere"); break;
    case 3: response.cutAfter = 10; break;
    case 4: response.silent = true; break;
    default: break;
    }
    server.setResponse(path, response);
    server.setResponse(QStringLiteral("/elsewhere"), TestHttpServer::Response::ok(Example));
    QString url = server.baseUrl() + path;
    if (mode == 5) {
        // A port that was just free: connection refused.
        TestHttpServer gone;
        QVERIFY(gone.listen());
        url = gone.baseUrl() + path;
    }
    qputenv("VT3_VERSION_SERVER_URL", url.toUtf8());

    QPointer<UpdateChecker> checker = new UpdateChecker;
    checker->setTimeLimit(500);
    QSignalSpy spy(checker.data(), &UpdateChecker::update_available);
    QElapsedTimer clock;
    clock.start();
    checker->checkForUpdate();
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().at(0).value<UpdateVersions>(), expected);
    if (mode == 4)
        QVERIFY2(clock.elapsed() >= 400, "gave up before the time limit");
    if (mode != 5) {
        QCOMPARE(server.requestCount(path), 1);
        QVERIFY(server.lastRequestHeader(path).startsWith("GET /vt3-client-2 HTTP/1.1\r\n"));
    }
    QCOMPARE(server.requestCount(QStringLiteral("/elsewhere")), 0);
    // The checker reports once and goes away.
    QTRY_VERIFY(checker.isNull());
    QCOMPARE(spy.count(), 1);
    qunsetenv("VT3_VERSION_SERVER_URL");
}

void TestUpdateChecker::slotDecodesAndDeletesItself()
{
    QPointer<UpdateChecker> checker = new UpdateChecker;
    QSignalSpy spy(checker.data(), &UpdateChecker::update_available);
    QVERIFY(QMetaObject::invokeMethod(checker, "on_updateCheckAvailable", Q_ARG(QByteArray, Example)));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().at(0).value<UpdateVersions>(), map({{"stable", "5", "3.5.6"}}));
    QTRY_VERIFY(checker.isNull());
}

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "tst_updatechecker.moc"
