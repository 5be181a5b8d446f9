#include "configuration.h"
#include "programdirectory.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <sys/stat.h>

namespace {
// Records version queries instead of sending them, so that no request leaves the test.
class RecordingConfiguration : public Configuration {
public:
    int queries = 0;

protected:
    void startVersionQuery() override { ++queries; }
};

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), qint64(content.size()));
}

int modeOf(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}

// Restores the process umask when a test ends, whichever way it ends.
class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : m_Previous(::umask(mask)) {}
    ~UmaskGuard() { ::umask(m_Previous); }

private:
    mode_t m_Previous;
};

const QString defaultBase = QStringLiteral("http://files.test.example/client/");
} // namespace

class tst_Configuration : public QObject {
    Q_OBJECT

private:
    // Fresh directories for every test and row: the settings class caches files by path and would
    // not notice a rewrite of equal size within the same millisecond.
    std::unique_ptr<QTemporaryDir> m_Scratch;
    QString m_ProgramDir;
    QString m_ConfigDir;
    QString configIni() const { return m_ConfigDir + QStringLiteral("/update.ini"); }
    QString programIni() const { return m_ProgramDir + QStringLiteral("/update.ini"); }

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void commandLine_data();
    void commandLine();
    void channel_data();
    void channel();
    void configDirectory_data();
    void configDirectory();
    void serverUrlsFollowTheEnvironment();
    void readUpdateSettings_data();
    void readUpdateSettings();
    void createTempDirTakesTheNextFreeNumber();
    void createTempDirIsPrivateWhateverTheUmask();
    void createTempDirFailure_data();
    void createTempDirFailure();
    void initalizeStart();
    void updateAvailable_data();
    void updateAvailable();
    void emptyVersionReplyEndsTheEventLoopWithZero();
};

void tst_Configuration::initTestCase()
{
    qputenv("VT3_DOWNLOAD_BASE_URL", defaultBase.toUtf8());
}

void tst_Configuration::cleanupTestCase()
{
    ProgramDirectory::setPath(QString());
}

void tst_Configuration::init()
{
    m_Scratch.reset(new QTemporaryDir);
    QVERIFY(m_Scratch->isValid());
    m_ProgramDir = m_Scratch->filePath(QStringLiteral("program"));
    m_ConfigDir = m_Scratch->filePath(QStringLiteral("config"));
    QVERIFY(QDir().mkpath(m_ProgramDir));
    QVERIFY(QDir().mkpath(m_ConfigDir));
    ProgramDirectory::setPath(m_ProgramDir);
    // Without a trailing separator: configDirectory adds it.
    qputenv("VT3_CONFIG_DIR", m_ConfigDir.toUtf8());
    Configuration::downloadBaseUrl.clear();
}

void tst_Configuration::commandLine_data()
{
    QTest::addColumn<QByteArray>("channelIni");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("clientUpdate");
    QTest::addColumn<QString>("clientType");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("versionString");
    QTest::addColumn<bool>("queryStarted");
    QTest::addColumn<QString>("fatal");

    const QByteArray none;
    const QByteArray alpha42("[Channel]\nalpha=http://alpha.example/x\nalphaRevno=42\n");
    const QByteArray alphaUnpinned("[Channel]\nalpha=http://alpha.example/x\n");
    const QString step1 = QStringLiteral("update_linux_amd64");
    const QString step2 = QStringLiteral("client_linux_amd64");
    const QString client = QStringLiteral("client_linux_amd64");
    const QString p = QStringLiteral("update");

    QTest::newRow("no arguments: default type, version asked")
        << none << QStringList{p} << true << 0 << step1 << 0 << QString() << true << QString();
    QTest::newRow("one argument that is not a switch: like none")
        << none << QStringList{p, "client_linux_amd64"} << true << 0 << step1 << 0 << QString() << true << QString();
    QTest::newRow("three plain arguments: like none")
        << none << QStringList{p, "a", "1", "x"} << true << 0 << step1 << 0 << QString() << true << QString();
    QTest::newRow("type and version") << none << QStringList{p, client, "17"} << true << 0 << client << 17 << QString()
                                      << false << QString();
    QTest::newRow("type and version 0: no query, ready at once")
        << none << QStringList{p, client, "0"} << true << 0 << client << 0 << QString() << false << QString();
    QTest::newRow("other type passed on unchanged") << none << QStringList{p, "whatever_type", "3"} << true << 0
                                                    << "whatever_type" << 3 << QString() << false << QString();
    QTest::newRow("version with surrounding blanks")
        << none << QStringList{p, client, " 17 "} << true << 0 << client << 17 << QString() << false << QString();
    QTest::newRow("version with a plus sign")
        << none << QStringList{p, client, "+5"} << true << 0 << client << 5 << QString() << false << QString();
    QTest::newRow("version not a number") << none << QStringList{p, client, "abc"} << false << 0 << client << 0
                                          << QString() << false << "Invalid version nr (abc)";
    QTest::newRow("version with trailing text") << none << QStringList{p, client, "12a"} << false << 0 << client << 0
                                                << QString() << false << "Invalid version nr (12a)";
    QTest::newRow("version beyond int") << none << QStringList{p, client, "99999999999"} << false << 0 << client << 0
                                        << QString() << false << "Invalid version nr (99999999999)";
    QTest::newRow("empty version") << none << QStringList{p, client, ""} << false << 0 << client << 0 << QString()
                                   << false << "Invalid version nr ()";
    QTest::newRow("switch only counts at position 1")
        << none << QStringList{p, client, "--clientupdate"} << false << 0 << client << 0 << QString() << false
        << "Invalid version nr (--clientupdate)";
    QTest::newRow("switches are case-sensitive")
        << none << QStringList{p, "--CLIENTUPDATE"} << true << 0 << step1 << 0 << QString() << true << QString();
    QTest::newRow("--clientupdate alone: second step, version asked")
        << none << QStringList{p, "--clientupdate"} << true << 1 << step2 << 0 << QString() << true << QString();
    QTest::newRow("--nouser alone: first step")
        << none << QStringList{p, "--nouser"} << true << 0 << step1 << 0 << QString() << true << QString();
    QTest::newRow("--nouser with one argument: it is ignored")
        << none << QStringList{p, "--nouser", "x"} << true << 0 << step1 << 0 << QString() << true << QString();
    QTest::newRow("--clientupdate with one argument: it is ignored")
        << none << QStringList{p, "--clientupdate", "x"} << true << 1 << step2 << 0 << QString() << true << QString();
    QTest::newRow("--clientupdate, type and version") << none << QStringList{p, "--clientupdate", client, "9"} << true
                                                      << 1 << client << 9 << QString() << false << QString();
    QTest::newRow("--nouser, type and version: first step") << none << QStringList{p, "--nouser", client, "9"} << true
                                                            << 0 << client << 9 << QString() << false << QString();
    QTest::newRow("--clientupdate with version text") << none << QStringList{p, "--clientupdate", client, "9", "3.5.6"}
                                                      << true << 1 << client << 9 << "3.5.6" << false << QString();
    QTest::newRow("--clientupdate with # for an absent version text")
        << none << QStringList{p, "--clientupdate", client, "9", "#"} << true << 1 << client << 9 << QString() << false
        << QString();
    QTest::newRow("--clientupdate with more arguments than the form has")
        << none << QStringList{p, "--clientupdate", client, "9", "t", "extra"} << true << 1 << client << 9 << "t"
        << false << QString();
    QTest::newRow("--clientupdate, type and version 0: version asked")
        << none << QStringList{p, "--clientupdate", client, "0"} << true << 1 << client << 0 << QString() << true
        << QString();
    QTest::newRow("--clientupdate with invalid version")
        << none << QStringList{p, "--clientupdate", client, "x"} << false << 1 << client << 0 << QString() << false
        << "Invalid version nr (x)";
    QTest::newRow("alpha pin wins over the command line")
        << alpha42 << QStringList{p, client, "41"} << true << 0 << client << 42 << QString() << false << QString();
    QTest::newRow("alpha pin: no query without arguments")
        << alpha42 << QStringList{p} << true << 0 << step1 << 42 << QString() << false << QString();
    QTest::newRow("alpha pin: the version argument is not even parsed")
        << alpha42 << QStringList{p, client, "abc"} << true << 0 << client << 42 << QString() << false << QString();
    QTest::newRow("alpha without pin: version asked")
        << alphaUnpinned << QStringList{p} << true << 0 << step1 << 0 << QString() << true << QString();
}

void tst_Configuration::commandLine()
{
    QFETCH(QByteArray, channelIni);
    QFETCH(QStringList, args);
    QFETCH(bool, ok);
    QFETCH(int, clientUpdate);
    QFETCH(QString, clientType);
    QFETCH(int, version);
    QFETCH(QString, versionString);
    QFETCH(bool, queryStarted);
    QFETCH(QString, fatal);

    if (!channelIni.isNull())
        writeFile(configIni(), channelIni);

    RecordingConfiguration configuration;
    QSignalSpy fatalSpy(&configuration, &Configuration::fatalError);
    QSignalSpy readySpy(&configuration, &Configuration::ready);

    QCOMPARE(configuration.parseCommandLineOptions(args), ok);
    QCOMPARE(configuration.m_ClientUpdate, clientUpdate);
    QCOMPARE(configuration.m_ClientType, clientType);
    QCOMPARE(configuration.m_VersionNumber, version);
    QCOMPARE(configuration.m_VersionString, versionString);
    QCOMPARE(configuration.queries, queryStarted ? 1 : 0);
    // Ready at once exactly when the command line succeeded without asking the server.
    QCOMPARE(configuration.isReady(), ok && !queryStarted);
    QCOMPARE(readySpy.count(), 0);
    if (fatal.isEmpty()) {
        QCOMPARE(fatalSpy.count(), 0);
    } else {
        QCOMPARE(fatalSpy.count(), 1);
        QCOMPARE(fatalSpy.at(0).at(0).toString(), fatal);
    }
}

void tst_Configuration::channel_data()
{
    QTest::addColumn<QByteArray>("configContent"); // null: no file
    QTest::addColumn<QByteArray>("programContent");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("baseUrl");

    const QByteArray none;
    QTest::newRow("no update.ini: stable") << none << none << 0 << 0 << defaultBase;
    QTest::newRow("config alpha, slash appended") << QByteArray("[Channel]\nalpha=http://alpha.example/a\n") << none
                                                  << 2 << 0 << QStringLiteral("http://alpha.example/a/");
    QTest::newRow("config alpha with slash, pinned")
        << QByteArray("[Channel]\nalpha=http://alpha.example/a/\nalphaRevno=42\n") << none << 2 << 42
        << QStringLiteral("http://alpha.example/a/");
    QTest::newRow("alphaRevno not a number gives 0")
        << QByteArray("[Channel]\nalpha=http://alpha.example/a/\nalphaRevno=forty\n") << none << 2 << 0
        << QStringLiteral("http://alpha.example/a/");
    QTest::newRow("install alpha") << none << QByteArray("[Channel]\nalpha=http://i.example/b\n") << 2 << 0
                                   << QStringLiteral("http://i.example/b/");
    QTest::newRow("config beta=true") << QByteArray("[Channel]\nbeta=true\n") << none << 1 << 0 << defaultBase;
    QTest::newRow("config Beta=1") << QByteArray("[Channel]\nBeta=1\n") << none << 1 << 0 << defaultBase;
    QTest::newRow("beta=false but Beta=yes")
        << QByteArray("[Channel]\nbeta=false\nBeta=yes\n") << none << 1 << 0 << defaultBase;
    QTest::newRow("beta=0") << QByteArray("[Channel]\nbeta=0\n") << none << 0 << 0 << defaultBase;
    QTest::newRow("beta=FALSE") << QByteArray("[Channel]\nbeta=FALSE\n") << none << 0 << 0 << defaultBase;
    QTest::newRow("keys are case-sensitive: ALPHA is not alpha")
        << QByteArray("[Channel]\nALPHA=http://x.example/\n") << none << 0 << 0 << defaultBase;
    QTest::newRow("beta ignores a pinned revision")
        << QByteArray("[Channel]\nbeta=true\nalphaRevno=42\n") << none << 1 << 0 << defaultBase;
    QTest::newRow("alpha wins over beta") << QByteArray("[Channel]\nbeta=true\nalpha=http://a.example/\n") << none << 2
                                          << 0 << QStringLiteral("http://a.example/");
    QTest::newRow("install beta") << none << QByteArray("[Channel]\nbeta=true\n") << 1 << 0 << defaultBase;
    QTest::newRow("config file found first, even without a channel")
        << QByteArray("[update]\nstreams=2\n") << QByteArray("[Channel]\nalpha=http://i.example/\n") << 0 << 0
        << defaultBase;
    QTest::newRow("config update.ini is a directory: unreadable, stable")
        << QByteArray("DIR") << QByteArray("[Channel]\nalpha=http://i.example/\n") << 0 << 0 << defaultBase;
    QTest::newRow("garbled config file: stable")
        << QByteArray("\x00\x01\xff[Chan\nnel]\n==\n\"alpha\n", 24) << none << 0 << 0 << defaultBase;
}

void tst_Configuration::channel()
{
    QFETCH(QByteArray, configContent);
    QFETCH(QByteArray, programContent);
    QFETCH(int, channel);
    QFETCH(int, version);
    QFETCH(QString, baseUrl);

    if (configContent == "DIR")
        QVERIFY(QDir().mkdir(configIni()));
    else if (!configContent.isNull())
        writeFile(configIni(), configContent);
    if (!programContent.isNull())
        writeFile(programIni(), programContent);

    Configuration configuration;
    configuration.m_Channel = 99;
    configuration.m_VersionNumber = 99;
    configuration.getUpdateChannel();
    QCOMPARE(configuration.m_Channel, channel);
    QCOMPARE(configuration.m_VersionNumber, version);
    QCOMPARE(Configuration::downloadBaseUrl, baseUrl);
}

void tst_Configuration::configDirectory_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QString>("expected");

    QTest::newRow("without trailing separator") << QByteArray("/some/dir") << QStringLiteral("/some/dir/");
    QTest::newRow("with trailing separator") << QByteArray("/some/dir/") << QStringLiteral("/some/dir/");
    QTest::newRow("unset: the home directory") << QByteArray() << QDir::homePath() + QStringLiteral("/.vt3client/");
    QTest::newRow("empty: the home directory") << QByteArray("") << QDir::homePath() + QStringLiteral("/.vt3client/");
}

void tst_Configuration::configDirectory()
{
    QFETCH(QByteArray, variable);
    QFETCH(QString, expected);
    if (variable.isNull())
        qunsetenv("VT3_CONFIG_DIR");
    else
        qputenv("VT3_CONFIG_DIR", variable);
    QCOMPARE(Configuration::configDirectory(), expected);
}

void tst_Configuration::serverUrlsFollowTheEnvironment()
{
    const QByteArray savedBase = qgetenv("VT3_DOWNLOAD_BASE_URL");
    qputenv("VT3_VERSION_SERVER_URL", "http://127.0.0.1:9/vt3-client-2");
    qputenv("VT3_DOWNLOAD_BASE_URL", "http://127.0.0.1:9/files");
    QCOMPARE(Configuration::versionServerUrl(), QStringLiteral("http://127.0.0.1:9/vt3-client-2"));
    QCOMPARE(Configuration::defaultDownloadBaseUrl(), QStringLiteral("http://127.0.0.1:9/files/"));

    // Unset, the built-in addresses apply; both are plain HTTP with the fixed paths.
    qunsetenv("VT3_VERSION_SERVER_URL");
    qunsetenv("VT3_DOWNLOAD_BASE_URL");
    QVERIFY(Configuration::versionServerUrl().startsWith(QLatin1String("http://")));
    QVERIFY(Configuration::defaultDownloadBaseUrl().startsWith(QLatin1String("http://")));
    QVERIFY(Configuration::defaultDownloadBaseUrl().endsWith(QLatin1Char('/')));
    qputenv("VT3_DOWNLOAD_BASE_URL", savedBase);
}

void tst_Configuration::readUpdateSettings_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<QString>("proxy");
    QTest::addColumn<int>("streams");

    QTest::newRow("no file") << QByteArray() << QString() << 6;
    QTest::newRow("proxy and streams") << QByteArray("[update]\nproxy=http://proxy.example:8080\nstreams=3\n")
                                       << QStringLiteral("http://proxy.example:8080") << 3;
    QTest::newRow("streams 0") << QByteArray("[update]\nstreams=0\n") << QString() << 6;
    QTest::newRow("streams negative") << QByteArray("[update]\nstreams=-4\n") << QString() << 6;
    QTest::newRow("streams text") << QByteArray("[update]\nstreams=many\n") << QString() << 6;
    QTest::newRow("other groups ignored") << QByteArray("[current]\nstreams=2\nproxy=x\n[update]\n") << QString() << 6;
}

void tst_Configuration::readUpdateSettings()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, proxy);
    QFETCH(int, streams);
    if (!content.isNull())
        writeFile(programIni(), content);

    Configuration configuration;
    configuration.m_Proxy = QStringLiteral("stale");
    configuration.m_Streams = 99;
    configuration.readUpdateSettings();
    QCOMPARE(configuration.m_Proxy, proxy);
    QCOMPARE(configuration.m_Streams, streams);
}

void tst_Configuration::createTempDirTakesTheNextFreeNumber()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString stem = temp.path() + QStringLiteral("/vantorel_temp_");
    // Every kind of entry occupies its number: directory, file, dangling link, link to a directory.
    QVERIFY(QDir().mkdir(stem + "0"));
    writeFile(stem + "1", "x");
    QVERIFY(QFile::link(temp.path() + "/nowhere", stem + "2"));
    QVERIFY(QFile::link(temp.path(), stem + "3"));
    QVERIFY(QDir().mkdir(stem + "4"));
    qputenv("TMPDIR", temp.path().toUtf8());

    Configuration configuration;
    QVERIFY(configuration.createTempDir());
    QCOMPARE(configuration.m_TempDir, stem + "5");
    QVERIFY(QFileInfo(stem + "5").isDir());
    QCOMPARE(modeOf(stem + "5"), 0700);
    QVERIFY(configuration.createTempDir());
    QCOMPARE(configuration.m_TempDir, stem + "6");
    qunsetenv("TMPDIR");
}

void tst_Configuration::createTempDirIsPrivateWhateverTheUmask()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    qputenv("TMPDIR", temp.path().toUtf8());
    for (const mode_t mask : {mode_t(0), mode_t(022), mode_t(0277)}) {
        UmaskGuard guard(mask);
        Configuration configuration;
        QVERIFY(configuration.createTempDir());
        QCOMPARE(modeOf(configuration.m_TempDir), 0700);
    }
    qunsetenv("TMPDIR");
}

void tst_Configuration::createTempDirFailure_data()
{
    QTest::addColumn<bool>("tempExists");
    QTest::addColumn<QString>("fatal");
    QTest::newRow("TMPDIR names no directory") << false << "Unable to get temp directory.";
    QTest::newRow("all 1000 candidates taken") << true << "Unable to create temp directory.";
}

void tst_Configuration::createTempDirFailure()
{
    QFETCH(bool, tempExists);
    QFETCH(QString, fatal);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    if (tempExists) {
        for (int j = 0; j < 1000; ++j)
            writeFile(temp.filePath(QStringLiteral("vantorel_temp_%1").arg(j)), QByteArray());
        qputenv("TMPDIR", temp.path().toUtf8());
    } else {
        qputenv("TMPDIR", temp.filePath("missing").toUtf8());
    }

    Configuration configuration;
    QSignalSpy fatalSpy(&configuration, &Configuration::fatalError);
    QVERIFY(!configuration.createTempDir());
    QCOMPARE(fatalSpy.count(), 1);
    QCOMPARE(fatalSpy.at(0).at(0).toString(), fatal);
    QVERIFY(configuration.m_TempDir.isEmpty());
    QVERIFY(!QFileInfo::exists(temp.filePath("vantorel_temp_1000")));

    // initalizeStart passes the failure on and leaves the installation directory unset.
    QVERIFY(!configuration.initalizeStart(QString(), QString()));
    QCOMPARE(fatalSpy.count(), 2);
    QVERIFY(configuration.m_InstallDir.isEmpty());
    qunsetenv("TMPDIR");
}

void tst_Configuration::initalizeStart()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    qputenv("TMPDIR", temp.path().toUtf8());

    Configuration continued;
    QVERIFY(continued.initalizeStart(QStringLiteral("/t/vantorel_temp_3"), QStringLiteral("/opt/vt3")));
    QCOMPARE(continued.m_TempDir, QStringLiteral("/t/vantorel_temp_3"));
    QCOMPARE(continued.m_InstallDir, QStringLiteral("/opt/vt3"));

    Configuration fresh;
    QVERIFY(fresh.initalizeStart(QString(), QString()));
    QCOMPARE(fresh.m_TempDir, temp.path() + QStringLiteral("/vantorel_temp_0"));
    QCOMPARE(fresh.m_InstallDir, m_ProgramDir);
    qunsetenv("TMPDIR");
}

void tst_Configuration::updateAvailable_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("pinnedVersion");
    QTest::addColumn<UpdateVersions>("versions");
    QTest::addColumn<bool>("ready");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("versionString");
    QTest::addColumn<QString>("fatal");

    UpdateVersions stableOnly;
    stableOnly.insert(QStringLiteral("stable"), qMakePair(QStringLiteral("5"), QStringLiteral("3.5.6")));
    UpdateVersions all = stableOnly;
    all.insert(QStringLiteral("beta"), qMakePair(QStringLiteral("6"), QStringLiteral("3.6 beta")));
    all.insert(QStringLiteral("alpha"), qMakePair(QStringLiteral("7"), QString()));
    UpdateVersions zero;
    zero.insert(QStringLiteral("stable"), qMakePair(QStringLiteral("0"), QStringLiteral("none")));
    UpdateVersions garbled;
    garbled.insert(QStringLiteral("stable"), qMakePair(QStringLiteral("x1"), QStringLiteral("t")));

    QTest::newRow("stable") << 0 << 0 << all << true << 5 << "3.5.6" << QString();
    QTest::newRow("beta") << 1 << 0 << all << true << 6 << "3.6 beta" << QString();
    QTest::newRow("alpha with empty text") << 2 << 0 << all << true << 7 << QString() << QString();
    QTest::newRow("channel missing from the reply")
        << 1 << 0 << stableOnly << false << 0 << QString() << "Update server returned no version";
    QTest::newRow("unknown channel value")
        << 7 << 0 << all << false << 0 << QString() << "Update server returned no version";
    QTest::newRow("version 0 is accepted") << 0 << 0 << zero << true << 0 << "none" << QString();
    QTest::newRow("number text that does not parse")
        << 0 << 0 << garbled << false << 0 << QString() << "Update server returned invalid version nr (x1)";
    QTest::newRow("pinned alpha version stays, text from the server")
        << 2 << 42 << all << true << 42 << QString() << QString();
}

void tst_Configuration::updateAvailable()
{
    QFETCH(int, channel);
    QFETCH(int, pinnedVersion);
    QFETCH(UpdateVersions, versions);
    QFETCH(bool, ready);
    QFETCH(int, version);
    QFETCH(QString, versionString);
    QFETCH(QString, fatal);

    Configuration configuration;
    configuration.m_Channel = channel;
    configuration.m_VersionNumber = pinnedVersion;
    QSignalSpy readySpy(&configuration, &Configuration::ready);
    QSignalSpy fatalSpy(&configuration, &Configuration::fatalError);

    configuration.on_updateAvailable(versions);
    QCOMPARE(configuration.isReady(), ready);
    QCOMPARE(readySpy.count(), ready ? 1 : 0);
    QCOMPARE(configuration.m_VersionNumber, version);
    QCOMPARE(configuration.m_VersionString, versionString);
    QCOMPARE(fatalSpy.count(), fatal.isEmpty() ? 0 : 1);
    if (!fatal.isEmpty())
        QCOMPARE(fatalSpy.at(0).at(0).toString(), fatal);
}

void tst_Configuration::emptyVersionReplyEndsTheEventLoopWithZero()
{
    // The reply of a failed query. Offscreen, the error box is reported on standard error instead of
    // waiting for a click; the event loop then ends with 0.
    Configuration configuration;
    QSignalSpy readySpy(&configuration, &Configuration::ready);
    QSignalSpy fatalSpy(&configuration, &Configuration::fatalError);
    QTimer::singleShot(0, &configuration, [&configuration] { configuration.on_updateAvailable(UpdateVersions()); });
    QTimer guard; // ends a loop that the reply failed to end, so the failure shows instead of a hang
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(10000);
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(readySpy.count(), 0);
    QCOMPARE(fatalSpy.count(), 0);
    QVERIFY(!configuration.isReady());
}

QTEST_GUILESS_MAIN(tst_Configuration)
#include "tst_configuration.moc"
