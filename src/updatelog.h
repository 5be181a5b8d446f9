#ifndef UPDATELOG_H
#define UPDATELOG_H

#include <QDateTime>
#include <QMutex>
#include <QString>
#include <QtGlobal>

class QFile;

// The diagnostic log: every qDebug/qInfo/qWarning/qCritical/qFatal of the updater, one line each, in
// "vantorel_update_log/update__<start time>.log" under the system temporary directory -- but only
// when a file or directory "vt3_update_log" exists there. Without that marker nothing is written.
//
// The temporary directory is shared with other local users, so the log directory and file are
// opened without following symbolic links: a log directory that is a link, or not a directory of our
// own, means no log at all.
//
// write() may be called from any thread; lines never interleave. Each line is flushed before write()
// returns.
class UpdateLog {
    Q_DISABLE_COPY(UpdateLog)

public:
    // Decides once, from the marker in tempDir, whether to log, and opens the log file if so.
    UpdateLog(const QString &tempDir, const QDateTime &startTime);
    ~UpdateLog();

    // The process-wide log for QDir::tempPath() and the current time, created on first use and never
    // deleted.
    static UpdateLog *instance();

    bool isEnabled() const { return m_Enabled; }
    // True when lines actually reach a file.
    bool isOpen() const;
    QString filePath() const { return m_FilePath; }

    // Writes one line: local time, level marker, text, line feed; then flushes.
    void write(QtMsgType type, const QString &text);
    // Flushes and closes the file; later lines are dropped.
    void close();

    // "update__2026-12-10__00_46_14.log" for that local time.
    static QString fileNameFor(const QDateTime &startTime);

private:
    void open(const QString &directory, const QString &fileName);

    QMutex m_Mutex;
    bool m_Enabled = false;
    QString m_FilePath;
    QFile *m_File = nullptr;
};

// The handler main() installs with qInstallMessageHandler. A fatal message is written and flushed,
// then the process aborts.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

#endif // UPDATELOG_H
