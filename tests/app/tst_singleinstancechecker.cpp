#include "singleinstancechecker.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
// What a crashed instance leaves behind: a socket file that nobody listens on.
bool createStaleSocket(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address{};
    if (static_cast<size_t>(native.size()) >= sizeof(address.sun_path))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, native.constData(), static_cast<size_t>(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}
} // namespace

class tst_SingleInstanceChecker : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_Temp;
    QByteArray m_SavedTmpdir;
    QString socketPath() const { return m_Temp.path() + QLatin1Char('/') + SingleInstanceChecker::serverName(); }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void serverName_data();
    void serverName();
    void noOtherInstance();
    void runningInstanceReceivesTheMessage_data();
    void runningInstanceReceivesTheMessage();
    void staleSocketIsRecovered();
    void liveServerIsLeftAlone();
};

void tst_SingleInstanceChecker::initTestCase()
{
    // Local sockets live in the temporary directory; keep ours away from real updaters.
    QVERIFY(m_Temp.isValid());
    m_SavedTmpdir = qgetenv("TMPDIR");
    qputenv("TMPDIR", m_Temp.path().toUtf8());
}

void tst_SingleInstanceChecker::cleanupTestCase()
{
    qputenv("TMPDIR", m_SavedTmpdir);
}

void tst_SingleInstanceChecker::init()
{
    QFile::remove(socketPath());
}

void tst_SingleInstanceChecker::serverName_data()
{
    QTest::addColumn<QString>("exeA");
    QTest::addColumn<QString>("homeA");
    QTest::addColumn<QString>("exeB");
    QTest::addColumn<QString>("homeB");
    QTest::addColumn<bool>("same");

    QTest::newRow("same executable, same user") << "/opt/vt3/update"
                                                << "/home/ann"
                                                << "/opt/vt3/update"
                                                << "/home/ann" << true;
    QTest::newRow("executable path differs in case only") << "/opt/VT3/Update"
                                                          << "/home/ann"
                                                          << "/opt/vt3/update"
                                                          << "/home/ann" << true;
    QTest::newRow("slashes and colons do not count") << "/opt/v:t3/update"
                                                     << "/home/ann"
                                                     << "/opt/vt3/update"
                                                     << "/home:/ann" << true;
    QTest::newRow("another user") << "/opt/vt3/update"
                                  << "/home/ann"
                                  << "/opt/vt3/update"
                                  << "/home/bob" << false;
    QTest::newRow("home keeps its case") << "/opt/vt3/update"
                                         << "/home/ann"
                                         << "/opt/vt3/update"
                                         << "/home/Ann" << false;
    QTest::newRow("a copy in another directory") << "/opt/vt3/update"
                                                 << "/home/ann"
                                                 << "/tmp/vantorel_temp_0/update"
                                                 << "/home/ann" << false;
}

void tst_SingleInstanceChecker::serverName()
{
    QFETCH(QString, exeA);
    QFETCH(QString, homeA);
    QFETCH(QString, exeB);
    QFETCH(QString, homeB);
    QFETCH(bool, same);

    const QString a = SingleInstanceChecker::serverName(exeA, homeA);
    const QString b = SingleInstanceChecker::serverName(exeB, homeB);
    QCOMPARE(a == b, same);
    // Lower-case hexadecimal without leading zeros.
    QVERIFY2(QRegularExpression(QStringLiteral("^VT3ClientUpdate[1-9a-f][0-9a-f]{0,3}$")).match(a).hasMatch(),
             qPrintable(a));
    const QByteArray combined =
        exeA.toLower().remove('/').remove(':').toUtf8() + QString(homeA).remove('/').remove(':').toUtf8();
    QCOMPARE(a, QStringLiteral("VT3ClientUpdate") +
                    QString::number(qChecksum(combined.constData(), static_cast<uint>(combined.size())), 16));
}

void tst_SingleInstanceChecker::noOtherInstance()
{
    QVERIFY(!QFileInfo::exists(socketPath()));
    QVERIFY(!SingleInstanceChecker::isOtherInstanceRunning(QStringLiteral("#")));
}

void tst_SingleInstanceChecker::runningInstanceReceivesTheMessage_data()
{
    QTest::addColumn<QString>("sent");
    QTest::addColumn<QString>("received");
    QTest::newRow("#") << "#"
                       << "#";
    QTest::newRow("other text") << "hello"
                                << "hello";
    QTest::newRow("up to the first zero byte") << QString::fromLatin1("ab\0cd", 5) << "ab";
}

void tst_SingleInstanceChecker::runningInstanceReceivesTheMessage()
{
    QFETCH(QString, sent);
    QFETCH(QString, received);

    SingleInstanceChecker first;
    QVERIFY(first.isListening());
    QSignalSpy spy(&first, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::isOtherInstanceRunning(sent));
    QVERIFY(spy.wait(5000));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), received);

    // The server keeps listening for the next start.
    QVERIFY(SingleInstanceChecker::isOtherInstanceRunning(QStringLiteral("#")));
    QTRY_COMPARE(spy.count(), 2);
}

void tst_SingleInstanceChecker::staleSocketIsRecovered()
{
    QVERIFY(createStaleSocket(socketPath()));
    QVERIFY(QFileInfo::exists(socketPath()));
    // Nobody answers on the stale socket: the next start runs...
    QVERIFY(!SingleInstanceChecker::isOtherInstanceRunning(QStringLiteral("#")));

    // ...and guards again.
    SingleInstanceChecker recovered;
    QVERIFY(recovered.isListening());
    QSignalSpy spy(&recovered, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::isOtherInstanceRunning(QStringLiteral("#")));
    QVERIFY(spy.wait(5000));
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("#"));
}

void tst_SingleInstanceChecker::liveServerIsLeftAlone()
{
    // An instance that started between our check and our own server: its socket must not be taken.
    QLocalServer other;
    QVERIFY(other.listen(SingleInstanceChecker::serverName()));
    SingleInstanceChecker late;
    QVERIFY(!late.isListening());
    QVERIFY(SingleInstanceChecker::isOtherInstanceRunning(QStringLiteral("#")));
    QTRY_VERIFY(other.hasPendingConnections());
}

QTEST_GUILESS_MAIN(tst_SingleInstanceChecker)
#include "tst_singleinstancechecker.moc"
