// The built `update` program as a user starts it: exit codes, the single-instance guard across
// processes, the start-up cleaning and the log marker.
//
// Every test runs a copy of the program in an installation directory of its own, with its own
// temporary, home and configuration directories, on the offscreen platform. There no one can see or
// click a message box, so the program reports a box's text on standard error and carries on as if it
// had been acknowledged (the same happens in any headless run, such as the demo without a display);
// the tests read that text from standard error.

#include "singleinstancechecker.h"
#include "testhttpserver.h"
#include "testpaths.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
void writeFile(const QString &path, const QByteArray &content = QByteArray())
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), qint64(content.size()));
}

const QRegularExpression logLine(
    QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\\t\\|\\t(Debug|Info|Warning|Critical|Fatal)"
                   "\\t\\|\\t"));
} // namespace

// One installation of the updater and the directories around it.
class Sandbox {
public:
    Sandbox()
    {
        QVERIFY(m_Root.isValid());
        const QString root = QFileInfo(m_Root.path()).canonicalFilePath();
        install = root + QStringLiteral("/install");
        temp = root + QStringLiteral("/tmp");
        home = root + QStringLiteral("/home");
        config = root + QStringLiteral("/config");
        for (const QString &dir : {install, temp, home, config, root + QStringLiteral("/runtime")})
            QVERIFY(QDir().mkpath(dir));
        QVERIFY(QFile::setPermissions(root + QStringLiteral("/runtime"),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        exe = install + QStringLiteral("/update");
        QVERIFY(QFile::copy(builtBinary(), exe));

        environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("TMPDIR"), temp);
        environment.insert(QStringLiteral("HOME"), home);
        environment.insert(QStringLiteral("VT3_CONFIG_DIR"), config);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/runtime"));
        // Sanitizer builds: Qt's offscreen plugin leaks its screen at exit; ignore exactly that.
        environment.insert(QStringLiteral("LSAN_OPTIONS"),
                           QStringLiteral("suppressions=") +
                               TestPaths::dataFile(QStringLiteral("lsan_qt_offscreen.supp")) +
                               QStringLiteral(":print_suppressions=0"));
        const QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
        environment.insert(QStringLiteral("ASAN_OPTIONS"), (asan.isEmpty() ? QString() : asan + QLatin1Char(':')) +
                                                               QStringLiteral("fast_unwind_on_malloc=0"));
        // Nothing listens on port 1: a query that was not meant to happen fails at once.
        environment.insert(QStringLiteral("VT3_VERSION_SERVER_URL"), QStringLiteral("http://127.0.0.1:1/vt3-client-2"));
    }

    static QString builtBinary()
    {
        // The tests' binaries are collected in build/bin; the updater itself stays in build/src.
        return QFileInfo(TestPaths::binDir()).absolutePath() + QStringLiteral("/src/update");
    }

    std::unique_ptr<QProcess> start(const QStringList &args) const
    {
        std::unique_ptr<QProcess> process(new QProcess);
        process->setProcessEnvironment(environment);
        process->setWorkingDirectory(install);
        process->start(exe, args);
        return process;
    }

    void setLogMarker(bool on) const
    {
        const QString marker = temp + QStringLiteral("/vt3_update_log");
        if (on)
            writeFile(marker);
        else
            QFile::remove(marker);
    }

    QString logDir() const { return temp + QStringLiteral("/vantorel_update_log"); }
    QStringList logFiles() const { return QDir(logDir()).entryList(QDir::Files, QDir::Name); }

    // All log files together (two starts within a second share one file name).
    QByteArray logText() const
    {
        QByteArray text;
        for (const QString &name : logFiles()) {
            QFile file(logDir() + QLatin1Char('/') + name);
            if (file.open(QIODevice::ReadOnly))
                text += file.readAll();
        }
        return text;
    }

    QString socketPath() const { return temp + QLatin1Char('/') + SingleInstanceChecker::serverName(exe, home); }

    QString install, temp, home, config, exe;
    QProcessEnvironment environment;

private:
    QTemporaryDir m_Root;
};

class tst_UpdateBinary : public QObject {
    Q_OBJECT

private:
    // Runs to the end; returns the exit code, or -1 when it did not end normally.
    static int run(const Sandbox &sandbox, const QStringList &args, QByteArray *errorOutput = nullptr);
    static void stop(QProcess &process);

private slots:
    void initTestCase();
    void invalidVersionEndsWithOne();
    void logFileOnlyWithTheMarker();
    void leftoversAreCleaned();
    void secondInstanceHandsOverAndEnds();
    void versionFromTheServer();
    void failedVersionQueryEndsWithZero();
    void serverWithoutTheChannelEndsWithOne();
};

int tst_UpdateBinary::run(const Sandbox &sandbox, const QStringList &args, QByteArray *errorOutput)
{
    std::unique_ptr<QProcess> process = sandbox.start(args);
    if (!process->waitForFinished(60000)) {
        stop(*process);
        return -1;
    }
    if (errorOutput)
        *errorOutput = process->readAllStandardError();
    return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
}

void tst_UpdateBinary::stop(QProcess &process)
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(10000);
    }
}

void tst_UpdateBinary::initTestCase()
{
    QVERIFY2(QFileInfo(Sandbox::builtBinary()).isExecutable(),
             qPrintable(Sandbox::builtBinary() + QStringLiteral(" is missing; build the target update")));
}

void tst_UpdateBinary::invalidVersionEndsWithOne()
{
    Sandbox sandbox;
    QByteArray errors;
    QCOMPARE(run(sandbox, {QStringLiteral("client_linux_amd64"), QStringLiteral("4x")}, &errors), 1);
    QVERIFY2(errors.contains("Invalid version nr (4x)"), errors.constData());
    // No marker: not even the log directory appears.
    QVERIFY(!QFileInfo::exists(sandbox.logDir()));
}

void tst_UpdateBinary::logFileOnlyWithTheMarker()
{
    Sandbox sandbox;
    sandbox.setLogMarker(true);
    QCOMPARE(run(sandbox, {QStringLiteral("client_linux_amd64"), QStringLiteral("abc")}), 1);

    const QStringList files = sandbox.logFiles();
    QCOMPARE(files.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^update__\\d{4}-\\d\\d-\\d\\d__\\d\\d_\\d\\d_\\d\\d\\.log$"))
                 .match(files.at(0))
                 .hasMatch(),
             qPrintable(files.at(0)));
    const QByteArray text = sandbox.logText();
    QVERIFY(text.endsWith('\n'));
    const QList<QByteArray> lines = text.left(text.size() - 1).split('\n');
    for (const QByteArray &line : lines)
        QVERIFY2(logLine.match(QString::fromLocal8Bit(line)).hasMatch(), line.constData());
    QVERIFY(text.contains("\t|\tDebug\t|\tVantorel updater started\n"));
    QVERIFY(text.contains("\t|\tDebug\t|\tRemoving old files done\n"));
    QVERIFY(text.contains("\t|\tWarning\t|\tFailed to parse command line options, aborting\n"));
}

void tst_UpdateBinary::leftoversAreCleaned()
{
    Sandbox sandbox;
    const QString d = sandbox.install;
    for (const char *name : {"_old_update", "libQtCore.so.4", "libQt5Core.so.5", "imageformats/_old_libqjpeg.so",
                             "imageformats/libqjpeg.so", "sqldrivers/_old_libsqlite.so", "keep/old/notes.txt"})
        writeFile(d + QLatin1Char('/') + QLatin1String(name), "x");
    QVERIFY(QDir().mkdir(d + QStringLiteral("/old")));

    // The cleaning comes before the command line is looked at, so even a rejected start cleans.
    QCOMPARE(run(sandbox, {QStringLiteral("client_linux_amd64"), QStringLiteral("abc")}), 1);
    for (const char *gone :
         {"_old_update", "libQtCore.so.4", "imageformats/_old_libqjpeg.so", "sqldrivers/_old_libsqlite.so", "old"})
        QVERIFY2(!QFileInfo::exists(d + QLatin1Char('/') + QLatin1String(gone)), gone);
    for (const char *kept : {"update", "libQt5Core.so.5", "imageformats/libqjpeg.so", "keep/old/notes.txt"})
        QVERIFY2(QFileInfo::exists(d + QLatin1Char('/') + QLatin1String(kept)), kept);
}

void tst_UpdateBinary::secondInstanceHandsOverAndEnds()
{
    Sandbox sandbox;
    const QStringList args{QStringLiteral("client_linux_amd64"), QStringLiteral("5")};

    // The first instance logs; it is up once it parses its command line, after its server listens.
    sandbox.setLogMarker(true);
    std::unique_ptr<QProcess> first = sandbox.start(args);
    QTRY_VERIFY_WITH_TIMEOUT(sandbox.logText().contains("parseCommandLineOptions"), 30000);

    // Without the marker the second start writes no log of its own.
    sandbox.setLogMarker(false);
    QCOMPARE(run(sandbox, args), 0);
    QTRY_VERIFY_WITH_TIMEOUT(sandbox.logText().contains("otherInstanceActivate \"#\""), 30000);
    QCOMPARE(sandbox.logFiles().size(), 1);
    QCOMPARE(first->state(), QProcess::Running);

    // A crash leaves the socket file behind...
    stop(*first);
    QVERIFY(QFileInfo::exists(sandbox.socketPath()));
    for (const QString &name : sandbox.logFiles())
        QVERIFY(QFile::remove(sandbox.logDir() + QLatin1Char('/') + name));

    // ...and the next start takes it over and guards again.
    sandbox.setLogMarker(true);
    std::unique_ptr<QProcess> third = sandbox.start(args);
    QTRY_VERIFY_WITH_TIMEOUT(sandbox.logText().contains("parseCommandLineOptions"), 30000);
    sandbox.setLogMarker(false);
    QCOMPARE(run(sandbox, args), 0);
    QTRY_VERIFY_WITH_TIMEOUT(sandbox.logText().contains("otherInstanceActivate \"#\""), 30000);
    QCOMPARE(third->state(), QProcess::Running);
    stop(*third);
}

void tst_UpdateBinary::versionFromTheServer()
{
    // licenseAgreementId 1 and one channel: stable, number 5, text 3.5.6.
    const QByteArray reply = QByteArray::fromHex("080112110a06737461626c6510051a05332e352e36");
    TestHttpServer server;
    QVERIFY(server.listen());
    server.setResponse(QStringLiteral("/vt3-client-2"), TestHttpServer::Response::ok(reply));

    Sandbox sandbox;
    sandbox.environment.insert(QStringLiteral("VT3_VERSION_SERVER_URL"),
                               server.url(QStringLiteral("/vt3-client-2")).toString());
    sandbox.setLogMarker(true);
    std::unique_ptr<QProcess> process = sandbox.start({});
    QTRY_VERIFY_WITH_TIMEOUT(sandbox.logText().contains("Received version from remote server: QPair(\"5\",\"3.5.6\")"),
                             30000);
    QCOMPARE(server.requestCount(QStringLiteral("/vt3-client-2")), 1);
    QCOMPARE(process->state(), QProcess::Running);
    stop(*process);
}

void tst_UpdateBinary::failedVersionQueryEndsWithZero()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    server.setResponse(QStringLiteral("/vt3-client-2"), TestHttpServer::Response::withStatus(404, "not here"));

    Sandbox sandbox;
    sandbox.environment.insert(QStringLiteral("VT3_VERSION_SERVER_URL"),
                               server.url(QStringLiteral("/vt3-client-2")).toString());
    std::unique_ptr<QProcess> process = sandbox.start({QStringLiteral("--clientupdate")});
    // The test's event loop has to run for the server to answer.
    QTRY_VERIFY_WITH_TIMEOUT(process->state() == QProcess::NotRunning, 60000);
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(process->exitCode(), 0);
    const QByteArray errors = process->readAllStandardError();
    QVERIFY2(errors.contains("Failed to query latest client\nversion from update server."), errors.constData());
}

void tst_UpdateBinary::serverWithoutTheChannelEndsWithOne()
{
    const QByteArray reply = QByteArray::fromHex("080112110a06737461626c6510051a05332e352e36"); // stable only
    TestHttpServer server;
    QVERIFY(server.listen());
    server.setResponse(QStringLiteral("/vt3-client-2"), TestHttpServer::Response::ok(reply));

    Sandbox sandbox;
    writeFile(sandbox.config + QStringLiteral("/update.ini"), "[Channel]\nbeta=true\n");
    sandbox.environment.insert(QStringLiteral("VT3_VERSION_SERVER_URL"),
                               server.url(QStringLiteral("/vt3-client-2")).toString());
    std::unique_ptr<QProcess> process = sandbox.start({});
    QTRY_VERIFY_WITH_TIMEOUT(process->state() == QProcess::NotRunning, 60000);
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(process->exitCode(), 1);
    const QByteArray errors = process->readAllStandardError();
    QVERIFY2(errors.contains("Update server returned no version"), errors.constData());
}

QTEST_GUILESS_MAIN(tst_UpdateBinary)
#include "tst_updatebinary.moc"
