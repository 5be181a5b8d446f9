#include "updatelog.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>
#include <unistd.h>
#include <vector>

namespace {
const QDateTime startTime(QDate(2026, 12, 10), QTime(0, 46, 14));
const QString logName = QStringLiteral("update__2026-12-10__00_46_14.log");

// time, level marker, text
const QRegularExpression
    lineFormat(QStringLiteral("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3})\\t\\|\\t(\\w+)\\t\\|\\t(.*)$"));

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), qint64(content.size()));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void createMarker(const QString &tempDir)
{
    writeFile(tempDir + QStringLiteral("/vt3_update_log"), QByteArray());
}
} // namespace

class tst_UpdateLog : public QObject {
    Q_OBJECT

private slots:
    void fileName();
    void noMarkerNoLog();
    void markerMayBeADirectory();
    void lineFormatAndLevelWords_data();
    void lineFormatAndLevelWords();
    void eachLineReachesTheFileAtOnce();
    void sameNameTruncates();
    void manyThreadsWriteWholeLines();
    void linkedLogDirectoryIsNotUsed_data();
    void linkedLogDirectoryIsNotUsed();
    void linkedLogFileIsNotFollowed();
    void logDirectoryOfAnotherUserIsNotUsed();
    void handlerWritesThroughTheProcessLog();
};

void tst_UpdateLog::fileName()
{
    QCOMPARE(UpdateLog::fileNameFor(startTime), logName);
}

void tst_UpdateLog::noMarkerNoLog()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    UpdateLog log(temp.path(), startTime);
    log.write(QtWarningMsg, QStringLiteral("dropped"));
    QVERIFY(!log.isEnabled());
    QVERIFY(!log.isOpen());
    QVERIFY(!QFileInfo::exists(temp.filePath(QStringLiteral("vantorel_update_log"))));
    QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 0);
}

void tst_UpdateLog::markerMayBeADirectory()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QVERIFY(QDir().mkdir(temp.filePath(QStringLiteral("vt3_update_log"))));
    UpdateLog log(temp.path(), startTime);
    QVERIFY(log.isOpen());
    QCOMPARE(log.filePath(), temp.filePath(QStringLiteral("vantorel_update_log/") + logName));
}

void tst_UpdateLog::lineFormatAndLevelWords_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("word");
    QTest::newRow("debug") << int(QtDebugMsg) << QStringLiteral("Debug");
    QTest::newRow("info") << int(QtInfoMsg) << QStringLiteral("Info");
    QTest::newRow("warning") << int(QtWarningMsg) << QStringLiteral("Warning");
    QTest::newRow("critical") << int(QtCriticalMsg) << QStringLiteral("Critical");
    // The handler aborts after a fatal line; the line itself is written like the others.
    QTest::newRow("fatal") << int(QtFatalMsg) << QStringLiteral("Fatal");
}

void tst_UpdateLog::lineFormatAndLevelWords()
{
    QFETCH(int, type);
    QFETCH(QString, word);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    createMarker(temp.path());

    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    UpdateLog log(temp.path(), startTime);
    log.write(QtMsgType(type), QStringLiteral("copy \"a\" to b: 100%"));
    const QDateTime after = QDateTime::currentDateTime().addMSecs(1);

    const QString text = QString::fromLocal8Bit(readFile(log.filePath()));
    QVERIFY(text.endsWith(QLatin1Char('\n')));
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    const QRegularExpressionMatch match = lineFormat.match(lines.at(0));
    QVERIFY2(match.hasMatch(), qPrintable(lines.at(0)));
    QCOMPARE(match.captured(2), word);
    QCOMPARE(match.captured(3), QStringLiteral("copy \"a\" to b: 100%"));
    const QDateTime stamp = QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz"));
    QVERIFY(stamp.isValid());
    QVERIFY(stamp >= before && stamp <= after);
}

void tst_UpdateLog::eachLineReachesTheFileAtOnce()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    createMarker(temp.path());
    UpdateLog log(temp.path(), startTime);
    log.write(QtDebugMsg, QStringLiteral("first\nsecond part of the same message"));
    // Read while the log is still open: nothing is held back in a buffer.
    const QList<QByteArray> lines = readFile(log.filePath()).split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lineFormat.match(QString::fromLocal8Bit(lines.at(0))).hasMatch());
    QVERIFY(lines.at(0).endsWith("\t|\tDebug\t|\tfirst"));
    QCOMPARE(lines.at(1), QByteArray("second part of the same message"));
    QCOMPARE(lines.at(2), QByteArray());

    log.close();
    log.write(QtDebugMsg, QStringLiteral("after close"));
    QVERIFY(!readFile(log.filePath()).contains("after close"));
}

void tst_UpdateLog::sameNameTruncates()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    createMarker(temp.path());
    QString path;
    {
        UpdateLog first(temp.path(), startTime);
        first.write(QtDebugMsg, QStringLiteral("from the first start"));
        path = first.filePath();
    }
    UpdateLog second(temp.path(), startTime);
    QCOMPARE(second.filePath(), path);
    QCOMPARE(readFile(path), QByteArray());
}

void tst_UpdateLog::manyThreadsWriteWholeLines()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    createMarker(temp.path());
    UpdateLog log(temp.path(), startTime);

    const int threadCount = 8;
    const int linesPerThread = 1500;
    // Long enough that an unserialised write would be split across the writers.
    const QString padding(300, QLatin1Char('x'));
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back(QThread::create([&log, t, &padding] {
            for (int i = 0; i < linesPerThread; ++i)
                log.write(QtDebugMsg, QStringLiteral("thread %1 line %2 %3 end").arg(t).arg(i).arg(padding));
        }));
    }
    for (auto &thread : threads)
        thread->start();
    for (auto &thread : threads)
        QVERIFY(thread->wait(60000));

    const QList<QByteArray> lines = readFile(log.filePath()).split('\n');
    QCOMPARE(lines.size(), threadCount * linesPerThread + 1);
    const QRegularExpression body(QStringLiteral("^thread (\\d) line (\\d+) x{300} end$"));
    std::vector<int> nextLine(threadCount, 0);
    for (int i = 0; i < lines.size() - 1; ++i) {
        const QRegularExpressionMatch line = lineFormat.match(QString::fromLatin1(lines.at(i)));
        QVERIFY2(line.hasMatch(), lines.at(i).constData());
        const QRegularExpressionMatch match = body.match(line.captured(3));
        QVERIFY2(match.hasMatch(), lines.at(i).constData());
        // Each thread's lines arrive whole and in its own order.
        const int t = match.captured(1).toInt();
        QCOMPARE(match.captured(2).toInt(), nextLine[t]);
        ++nextLine[t];
    }
}

void tst_UpdateLog::linkedLogDirectoryIsNotUsed_data()
{
    QTest::addColumn<bool>("dangling");
    QTest::newRow("link to a directory") << false;
    QTest::newRow("dangling link") << true;
}

void tst_UpdateLog::linkedLogDirectoryIsNotUsed()
{
    QFETCH(bool, dangling);
    QTemporaryDir temp;
    QTemporaryDir victim;
    QVERIFY(temp.isValid() && victim.isValid());
    createMarker(temp.path());
    const QString target = dangling ? victim.filePath(QStringLiteral("created")) : victim.path();
    QVERIFY(QFile::link(target, temp.filePath(QStringLiteral("vantorel_update_log"))));

    UpdateLog log(temp.path(), startTime);
    log.write(QtWarningMsg, QStringLiteral("must not arrive"));
    QVERIFY(log.isEnabled());
    QVERIFY(!log.isOpen());
    QCOMPARE(QDir(victim.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 0);
    QVERIFY(QFileInfo(temp.filePath(QStringLiteral("vantorel_update_log"))).isSymLink());
}

void tst_UpdateLog::linkedLogFileIsNotFollowed()
{
    QTemporaryDir temp;
    QTemporaryDir victim;
    QVERIFY(temp.isValid() && victim.isValid());
    createMarker(temp.path());
    const QString victimFile = victim.filePath(QStringLiteral("precious"));
    writeFile(victimFile, "keep me");
    QVERIFY(QDir().mkdir(temp.filePath(QStringLiteral("vantorel_update_log"))));
    QVERIFY(QFile::link(victimFile, temp.filePath(QStringLiteral("vantorel_update_log/") + logName)));

    UpdateLog log(temp.path(), startTime);
    log.write(QtWarningMsg, QStringLiteral("must not arrive"));
    QVERIFY(!log.isOpen());
    QCOMPARE(readFile(victimFile), QByteArray("keep me"));
}

void tst_UpdateLog::logDirectoryOfAnotherUserIsNotUsed()
{
    if (::geteuid() != 0)
        QSKIP("needs root to hand a directory to another user");
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    createMarker(temp.path());
    const QString dir = temp.filePath(QStringLiteral("vantorel_update_log"));
    QVERIFY(QDir().mkdir(dir));
    QCOMPARE(::chown(QFile::encodeName(dir).constData(), 65534, 65534), 0);

    UpdateLog log(temp.path(), startTime);
    log.write(QtWarningMsg, QStringLiteral("must not arrive"));
    QVERIFY(!log.isOpen());
    QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 0);
}

void tst_UpdateLog::handlerWritesThroughTheProcessLog()
{
    // The process-wide log looks for the marker in QDir::tempPath(), which follows TMPDIR.
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    createMarker(temp.path());
    const QByteArray savedTmpdir = qgetenv("TMPDIR");
    qputenv("TMPDIR", temp.path().toUtf8());
    UpdateLog *log = UpdateLog::instance();
    qputenv("TMPDIR", savedTmpdir);
    QVERIFY(log->isOpen());
    QVERIFY(log->filePath().startsWith(temp.path() + QStringLiteral("/vantorel_update_log/update__")));

    const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
    qDebug() << "parseCommandLineOptions" << QStringList{QStringLiteral("update"), QStringLiteral("--nouser")};
    qWarning() << "Failed to parse command line options, aborting";
    qInstallMessageHandler(previous);
    log->close();

    const QList<QByteArray> lines = readFile(log->filePath()).split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.at(0).endsWith("\t|\tDebug\t|\tparseCommandLineOptions (\"update\", \"--nouser\")"));
    QVERIFY(lines.at(1).endsWith("\t|\tWarning\t|\tFailed to parse command line options, aborting"));
}

QTEST_GUILESS_MAIN(tst_UpdateLog)
#include "tst_updatelog.moc"
