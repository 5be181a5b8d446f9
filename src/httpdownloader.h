#ifndef HTTPDOWNLOADER_H
#define HTTPDOWNLOADER_H

#include <QByteArray>
#include <QNetworkRequest>
#include <QThread>

class QNetworkReply;

// One GET on a thread of its own, for a small answer (the version query). Created without a parent in
// the requesting thread and started with start(); it reports exactly once through download_available,
// emitted from its own thread (so receivers in other threads get a queued call), and deletes itself
// when the thread has finished. The thread's network access manager has no proxy of its own.
class HTTPDownloader : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(HTTPDownloader)

public:
    // The whole transfer must end within timeLimitMs; a server that never answers is a failed request
    // instead of a wait without end.
    static constexpr int DefaultTimeLimitMs = 30000;

    explicit HTTPDownloader(const QNetworkRequest &request, int timeLimitMs = DefaultTimeLimitMs);

signals:
    // The whole body, or an empty array when the request failed in any way (network error, HTTP error
    // status, time limit).
    void download_available(QByteArray data);

protected:
    void run() override;

private:
    // Runs on the downloader's thread, where the reply lives.
    void on_downloadFinished(QNetworkReply *reply);

    const QNetworkRequest m_Request;
    const int m_TimeLimitMs;
};

#endif // HTTPDOWNLOADER_H
