#ifndef DOWNLOADTASKSPECIFICATION_H
#define DOWNLOADTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QCryptographicHash>
#include <QFile>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Downloads one file of a version folder on the file server into a local file: base URL + version
// number + "/" + server path. Runs in the GUI thread's event loop through the session's shared network
// access manager (not owned). The body goes to disk in pieces as it arrives and is never held whole.
//
// A failed attempt (HTTP status other than 200, network, read or write error, a stall of 16 status
// polls, a body longer than the expected size, a wrong digest) removes the partial file and starts
// again from byte 0 at once; the fifth failed attempt of a run fails the task. A partly written target
// never survives a failed attempt, a cancellation, an abort or the destruction of the task.
//
// Stall detection has no timer of its own: it counts getDownloadStatus() calls, which the update engine
// makes once per second, so tests drive it by calling getDownloadStatus() themselves.
//
// Threads: GUI thread only.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(DownloadTaskSpecification)

public:
    // expectedSize: the size the manifest names, or -1 when unknown. When known (>= 0), a body that
    // would go past it is a failed attempt, so a broken or hostile server cannot fill the disk.
    DownloadTaskSpecification(QNetworkAccessManager *manager, const QString &serverPath, int versionNumber,
                              const QString &targetPath, qint64 expectedSize, QObject *parent, qreal weight);
    ~DownloadTaskSpecification() override;

    // When set (hexadecimal SHA-512, any letter case), the finished body must have this digest; a body
    // that does not is removed and counts as a failed attempt ("Signature check failed for %1"). The
    // digest is computed while the body streams to disk, so the check costs no second read.
    void setExpectedSha512(const QString &digest);

    // The URL this task requests.
    QString url() const;
    QString serverPath() const { return m_ServerPath; }
    QString targetPath() const { return m_File.fileName(); }

    // Polls after which a transfer without incoming data counts as stalled (the 16th poll fails it).
    static constexpr int StallPolls = 15;
    // Failed attempts after which the next failure ends the run: five tries in all.
    static constexpr int MaxRetries = 4;
    // Largest piece read from the reply and written to disk at once.
    static constexpr qint64 ChunkSize = 4096;

public slots:
    void execute() override;
    void reset() override;
    void getDownloadStatus(quint64 &bytesDone, quint64 &bytesTotal, quint64 &speed, bool &downloading) override;
    void cancel() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    // The body is complete and the file closed; reports the end of the run.
    virtual void downloadFinished();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();

private:
    void startDownload();
    // Writes what the reply has to the file. False when the attempt ended meanwhile (failed, cancelled
    // or aborted; the reply may by then belong to the next attempt), so callers must return at once.
    bool drainReply();
    void cleanupAttempt();
    void failedAttempt(const QString &reason);
    QString oversizeReason() const;

    QNetworkAccessManager *m_Manager;
    QNetworkReply *m_Reply = nullptr;
    int m_IdleTicks = 0;
    QString m_ServerPath;
    int m_VersionNumber;
    QFile m_File;
    int m_Attempts = 0;
    qint64 m_BytesAtLastPoll = 0;
    qint64 m_ExpectedTotal;
    const qint64 m_InitialExpectedTotal;
    qint64 m_BytesReceived = 0;
    QString m_ExpectedSha512;
    QCryptographicHash m_Hash;
};

#endif // DOWNLOADTASKSPECIFICATION_H
