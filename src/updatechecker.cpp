#include "updatechecker.h"

#include "configuration.h"
#include "httpdownloader.h"
#include "protobufhelper.h"

#include <QDebug>
#include <QNetworkRequest>
#include <QUrl>

UpdateChecker::UpdateChecker(QObject *parent) : QObject(parent) {}

void UpdateChecker::setTimeLimit(int msec)
{
    m_TimeLimitMs = msec;
}

void UpdateChecker::checkForUpdate()
{
    const QNetworkRequest request{QUrl(Configuration::versionServerUrl())};
    qDebug() << "UpdateChecker: asking" << request.url().toString();
    HTTPDownloader *downloader = new HTTPDownloader(request, m_TimeLimitMs);
    connect(downloader, &HTTPDownloader::download_available, this, &UpdateChecker::on_updateCheckAvailable);
    downloader->start(QThread::InheritPriority);
}

void UpdateChecker::on_updateCheckAvailable(QByteArray updateData)
{
    const UpdateVersions versions = ProtobufHelper::decodeVersions(updateData);
    if (versions.isEmpty())
        qWarning() << "UpdateChecker: no usable answer," << updateData.size() << "bytes received";
    else
        qDebug() << "UpdateChecker: versions" << versions;
    emit update_available(versions);
    deleteLater();
}
