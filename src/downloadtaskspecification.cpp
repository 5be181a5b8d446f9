#include "downloadtaskspecification.h"

#include "configuration.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {
// The process-wide base set by the configuration; before it has been set, the stable channel's base.
QString downloadBaseUrl()
{
    return Configuration::downloadBaseUrl.isEmpty() ? Configuration::defaultDownloadBaseUrl()
                                                    : Configuration::downloadBaseUrl;
}
} // namespace

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager *manager, const QString &serverPath,
                                                     int versionNumber, const QString &targetPath,
                                                     qint64 expectedSize, QObject *parent, qreal weight)
    : TaskSpecification(parent, weight),
      m_Manager(manager),
      m_ServerPath(serverPath),
      m_VersionNumber(versionNumber),
      m_File(targetPath),
      m_ExpectedTotal(expectedSize),
      m_InitialExpectedTotal(expectedSize),
      m_Hash(QCryptographicHash::Sha512)
{
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    // A running transfer dies with the task; its partial file must not survive it. No signals here:
    // the receivers may be going away too.
    if (m_Reply) {
        m_Reply->disconnect(this);
        m_Reply->deleteLater();
        m_Reply = nullptr;
    }
    if (m_File.isOpen()) {
        m_File.close();
        m_File.remove();
    }
}

void DownloadTaskSpecification::setExpectedSha512(const QString &digest)
{
    m_ExpectedSha512 = digest;
}

QString DownloadTaskSpecification::url() const
{
    return downloadBaseUrl() + QString::number(m_VersionNumber) + QLatin1Char('/') + m_ServerPath;
}

void DownloadTaskSpecification::execute()
{
    qDebug() << "Downloading" << m_ServerPath;
    emit message(QStringLiteral("Downloading %1").arg(m_ServerPath));
    m_TaskState = TASK_RUNNING;
    startDownload();
}

void DownloadTaskSpecification::startDownload()
{
    if (!m_File.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        emit error(QStringLiteral("Unable to create file %1 for saving").arg(m_File.fileName()));
        reportFailed();
        return;
    }
    m_Hash.reset();

    const QUrl url(this->url(), QUrl::TolerantMode);
    QNetworkRequest request(url);
    // Qt 5 does not follow redirects by default; say so, because a redirect must count as a failure.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    qDebug() << "Requesting download of" << url.toString();
    m_Reply = m_Manager ? m_Manager->get(request) : nullptr;

    if (!m_Reply) {
        m_File.close();
        m_File.remove();
        emit error(QStringLiteral("Download failed to initialize"));
        reportFailed();
        return;
    }
    if (m_Reply->isFinished()) {
        failedAttempt(m_Reply->errorString());
        return;
    }
    connect(m_Reply, &QNetworkReply::downloadProgress, this, &DownloadTaskSpecification::onDownloadProgress);
    connect(m_Reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(m_Reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(m_Reply, &QNetworkReply::metaDataChanged, this, &DownloadTaskSpecification::onMetaDataChanged);
}

QString DownloadTaskSpecification::oversizeReason() const
{
    return QStringLiteral("%1 is larger than the expected %2 bytes").arg(m_ServerPath).arg(m_InitialExpectedTotal);
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!m_Reply)
        return;
    const QVariant statusAttribute = m_Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (statusAttribute.isNull())
        return;
    const int status = statusAttribute.toInt();
    if (status != 200) {
        failedAttempt(QStringLiteral("%1 returned %2").arg(m_ServerPath).arg(status));
        return;
    }
    // An announced length past the known size fails before a byte is written.
    const QVariant length = m_Reply->header(QNetworkRequest::ContentLengthHeader);
    if (m_InitialExpectedTotal >= 0 && length.isValid() && length.toLongLong() > m_InitialExpectedTotal)
        failedAttempt(oversizeReason());
}

void DownloadTaskSpecification::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived)
    if (bytesTotal > 0 && m_ExpectedTotal == -1)
        m_ExpectedTotal = bytesTotal;
}

void DownloadTaskSpecification::onReadyRead()
{
    drainReply();
}

bool DownloadTaskSpecification::drainReply()
{
    char buffer[ChunkSize];
    // A handler of updateProgress may end this attempt (and start the next) while we are here; what
    // the next attempt's reply holds is for its own readyRead, not for this loop.
    QNetworkReply *const reply = m_Reply;
    while (m_Reply && m_Reply == reply) {
        m_IdleTicks = 0;
        if (m_Reply->bytesAvailable() <= 0)
            return true;
        const qint64 read = m_Reply->read(buffer, ChunkSize);
        if (read == 0)
            return true;
        if (read < 0) {
            failedAttempt(m_Reply->errorString());
            return false;
        }
        if (m_InitialExpectedTotal >= 0 && m_BytesReceived + read > m_InitialExpectedTotal) {
            failedAttempt(oversizeReason());
            return false;
        }
        const qint64 written = m_File.write(buffer, read);
        if (written < 0) {
            failedAttempt(m_File.errorString());
            return false;
        }
        if (written != read) {
            failedAttempt(QStringLiteral("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                              .arg(m_File.fileName())
                              .arg(read)
                              .arg(written));
            return false;
        }
        if (!m_ExpectedSha512.isEmpty())
            m_Hash.addData(buffer, int(read));
        m_BytesReceived += read;
        if (m_ExpectedTotal > 0)
            setProgress(qMin(qreal(1), qreal(m_BytesReceived) / qreal(m_ExpectedTotal)));
    }
    // The attempt ended under us (cancelled, aborted, failed): nothing more to do for it.
    return false;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!m_Reply)
        return;
    if (m_Reply->error() != QNetworkReply::NoError) {
        failedAttempt(m_Reply->errorString());
        return;
    }
    if (!drainReply())
        return;
    // A buffered write can still fail when the file is flushed.
    if (!m_File.flush()) {
        failedAttempt(m_File.errorString());
        return;
    }
    if (!m_ExpectedSha512.isEmpty()) {
        const QString digest = QString::fromLatin1(m_Hash.result().toHex());
        if (digest.compare(m_ExpectedSha512, Qt::CaseInsensitive) != 0) {
            qDebug() << "SHA512 check:" << m_ExpectedSha512 << digest << false;
            failedAttempt(QStringLiteral("Signature check failed for %1").arg(m_File.fileName()));
            return;
        }
    }
    m_Reply->disconnect(this);
    m_Reply->close();
    m_Reply->deleteLater();
    m_Reply = nullptr;
    m_File.close();
    downloadFinished();
}

void DownloadTaskSpecification::downloadFinished()
{
    qDebug() << "Download finished:" << m_ServerPath << m_File.fileName() << m_File.isOpen() << m_File.exists();
    emit message(QStringLiteral("Downloading %1 finished").arg(m_ServerPath));
    reportFinished();
}

void DownloadTaskSpecification::cleanupAttempt()
{
    if (m_Reply) {
        m_Reply->disconnect(this);
        m_Reply->deleteLater();
        m_Reply = nullptr;
    }
    m_IdleTicks = 0;
    if (m_File.isOpen()) {
        m_File.close();
        m_File.remove();
    }
    m_BytesAtLastPoll = 0;
    m_ExpectedTotal = m_InitialExpectedTotal;
    m_BytesReceived = 0;
    m_Hash.reset();
    setProgress(0);
}

void DownloadTaskSpecification::failedAttempt(const QString &reason)
{
    cleanupAttempt();
    qDebug() << "Download attempt failed:" << reason;
    emit message(reason);
    if (m_Attempts < MaxRetries) {
        ++m_Attempts;
        startDownload();
        return;
    }
    emit message(QStringLiteral("Unable to download %1").arg(m_ServerPath));
    m_File.remove();
    reportFailed();
}

void DownloadTaskSpecification::getDownloadStatus(quint64 &bytesDone, quint64 &bytesTotal, quint64 &speed,
                                                  bool &downloading)
{
    bytesDone = quint64(m_BytesReceived);
    bytesTotal = m_ExpectedTotal < 0 ? 0 : quint64(m_ExpectedTotal);
    // After a restart the count can be below the last poll's; the speed is then 0, not a wrapped value.
    speed = m_BytesReceived > m_BytesAtLastPoll ? quint64(m_BytesReceived - m_BytesAtLastPoll) : 0;
    m_BytesAtLastPoll = m_BytesReceived;
    downloading = false;

    if (m_TaskState != TASK_RUNNING || !m_Reply)
        return;
    if (m_IdleTicks++ < StallPolls) {
        downloading = true;
        return;
    }
    failedAttempt(QStringLiteral("file %1 timed out").arg(m_ServerPath));
}

void DownloadTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (m_TaskState != TASK_RUNNING)
        return;
    cleanupAttempt();
    reportCanceled();
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    Q_UNUSED(other)
    if (m_Reply) {
        emit message(QStringLiteral("Abort downloading %1").arg(m_ServerPath));
        cleanupAttempt();
    }
    reportFailed();
}

void DownloadTaskSpecification::reset()
{
    cleanupAttempt();
    m_Attempts = 0;
    TaskSpecification::reset();
}
