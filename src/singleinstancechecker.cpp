#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace {
const int waitMs = 1000;
}

SingleInstanceChecker::SingleInstanceChecker(QObject *parent) : QObject(parent), m_Server(new QLocalServer(this))
{
    connect(m_Server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    listen();
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    m_Server->close();
    delete m_Connection;
}

void SingleInstanceChecker::listen()
{
    const QString name = serverName();
    if (m_Server->listen(name))
        return;
    if (m_Server->serverError() != QAbstractSocket::AddressInUseError) {
        qWarning() << "SingleInstanceChecker: cannot listen on" << name << m_Server->errorString();
        return;
    }
    // The name is taken. If an instance answers there it started after our own check and is the
    // guard; leave it alone. If nobody answers, the socket file is a crashed instance's remains.
    QLocalSocket probe;
    probe.connectToServer(name);
    if (probe.waitForConnected(waitMs)) {
        qWarning() << "SingleInstanceChecker: another instance listens on" << name;
        return;
    }
    qDebug() << "SingleInstanceChecker: removing stale socket" << name;
    QLocalServer::removeServer(name);
    if (!m_Server->listen(name))
        qWarning() << "SingleInstanceChecker: cannot listen on" << name << m_Server->errorString();
}

bool SingleInstanceChecker::isListening() const
{
    return m_Server->isListening();
}

QString SingleInstanceChecker::serverName()
{
    return serverName(QCoreApplication::applicationFilePath(), QDir::homePath());
}

QString SingleInstanceChecker::serverName(const QString &executablePath, const QString &homePath)
{
    QString text = executablePath.toLower() + homePath;
    text.remove(QLatin1Char('/'));
    text.remove(QLatin1Char(':'));
    const QByteArray bytes = text.toUtf8();
    const quint16 checksum = qChecksum(bytes.constData(), static_cast<uint>(bytes.size()));
    return QStringLiteral("VT3ClientUpdate") + QString::number(checksum, 16);
}

bool SingleInstanceChecker::isOtherInstanceRunning(const QString &message)
{
    QLocalSocket socket;
    socket.connectToServer(serverName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(waitMs))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(waitMs);
}

void SingleInstanceChecker::onNewConnection()
{
    delete m_Connection;
    m_Connection = m_Server->nextPendingConnection();
    if (m_Connection) {
        // Held by the checker (not the server), so it goes with the checker at the latest.
        m_Connection->setParent(this);
        connect(m_Connection, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
    }
}

void SingleInstanceChecker::onReadyRead()
{
    if (!m_Connection)
        return;
    const QByteArray bytes = m_Connection->readAll();
    const int end = bytes.indexOf('\0');
    const QString message = QString::fromLatin1(end < 0 ? bytes : bytes.left(end));
    // Forget the connection before anyone reacts to the message; delete it once its signal returned.
    QLocalSocket *connection = m_Connection;
    m_Connection = nullptr;
    connection->disconnect(this);
    connection->deleteLater();
    emit otherInstanceActivate(message);
}
