#include "httpdownloader.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

HTTPDownloader::HTTPDownloader(const QNetworkRequest &request, int timeLimitMs)
    : QThread(nullptr), m_Request(request), m_TimeLimitMs(timeLimitMs)
{
    // Deleting a QThread before its thread ended is fatal. finished() is emitted by the ending thread
    // itself; joining it first (a brief wait, it is on its way out) makes the deletion certainly safe.
    connect(this, &QThread::finished, this, [this] {
        wait();
        deleteLater();
    });
}

void HTTPDownloader::run()
{
    QNetworkAccessManager *manager = new QNetworkAccessManager();
    // Everything below lives in this thread; the manager is the context so the handler runs here too.
    connect(manager, &QNetworkAccessManager::finished, manager,
            [this](QNetworkReply *reply) { on_downloadFinished(reply); });

    QNetworkRequest request(m_Request);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = manager->get(request);

    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, reply, [reply, this] {
        qWarning() << "HTTPDownloader: no answer within" << m_TimeLimitMs << "ms from" << reply->url().toString();
        reply->abort();
    });
    limit.start(m_TimeLimitMs);

    exec();

    limit.stop();
    delete manager; // also deletes a reply whose deferred deletion the ended loop did not process
}

void HTTPDownloader::on_downloadFinished(QNetworkReply *reply)
{
    QByteArray data;
    if (reply->error() == QNetworkReply::NoError)
        data = reply->readAll();
    else
        qWarning() << "HTTPDownloader: request of" << reply->url().toString() << "failed:" << reply->errorString();
    emit download_available(data);
    reply->deleteLater();
    quit();
}
