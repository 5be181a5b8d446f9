#include "testhttpserver.h"

#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
// Header block larger than this is refused: a test client never sends one.
constexpr int MaxHeaderBytes = 64 * 1024;
// Pump only while the socket's own buffer is below this, so large files stay out of memory.
constexpr qint64 MaxQueuedBytes = 256 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}
} // namespace

// One accepted connection: reads one request, writes one answer, then closes (or stalls).
class TestHttpServer::Connection : public QObject
{
public:
    Connection(TestHttpServer *server, QTcpSocket *socket) : QObject(server), m_Server(server), m_Socket(socket)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this] { pump(); });
        connect(socket, &QTcpSocket::disconnected, this, [this] { deleteLater(); });
        server->m_Connections.append(this);
    }

    ~Connection() override { m_Server->m_Connections.removeOne(this); }

    void closeNow()
    {
        m_Done = true;
        m_Socket->abort();
        deleteLater();
    }

private:
    void onReadyRead()
    {
        if (m_Started) {
            m_Socket->readAll(); // a body or a second request: not served
            return;
        }
        m_Request += m_Socket->readAll();
        const int end = m_Request.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_Request.size() > MaxHeaderBytes)
                closeNow();
            return;
        }
        m_Started = true;
        const QByteArray header = m_Request.left(end + 4);
        const QList<QByteArray> requestLine = header.left(header.indexOf("\r\n")).split(' ');
        QString path = requestLine.size() >= 2 ? QString::fromLatin1(requestLine.at(1)) : QStringLiteral("/");
        const int query = path.indexOf(QLatin1Char('?'));
        if (query >= 0)
            path.truncate(query);

        m_Path = path;
        m_Server->m_Counts[path] += 1;
        m_Server->m_Total += 1;
        m_Server->m_LastHeaders[path] = header;
        m_Response = m_Server->responseFor(path);
        emit m_Server->requestReceived(path);
        start();
    }

    void start()
    {
        if (m_Response.silent) {
            m_Done = true;
            return;
        }
        qint64 bodySize = m_Response.body.size();
        if (!m_Response.filePath.isEmpty()) {
            m_File.setFileName(m_Response.filePath);
            if (!m_File.open(QIODevice::ReadOnly)) {
                m_Response = Response::withStatus(500, "cannot open " + m_Response.filePath.toUtf8());
                bodySize = m_Response.body.size();
            } else {
                bodySize = m_File.size();
            }
        }
        m_BodySize = bodySize;

        QByteArray head = "HTTP/1.1 " + QByteArray::number(m_Response.status) + ' ' + reasonPhrase(m_Response.status)
            + "\r\nConnection: close\r\nContent-Type: application/octet-stream\r\n";
        if (m_Response.contentLength == -1)
            head += "Content-Length: " + QByteArray::number(bodySize) + "\r\n";
        else if (m_Response.contentLength >= 0)
            head += "Content-Length: " + QByteArray::number(m_Response.contentLength) + "\r\n";
        for (const auto &h : qAsConst(m_Response.headers))
            head += h.first + ": " + h.second + "\r\n";
        head += "\r\n";
        m_Socket->write(head);
        pump();
    }

    // Sends the next piece of the body when the socket has room, honouring cut, stall and delay.
    void pump()
    {
        if (!m_Started || m_Done || m_Waiting)
            return;
        while (m_Socket->bytesToWrite() < MaxQueuedBytes) {
            qint64 limit = m_BodySize;
            if (m_Response.cutAfter >= 0)
                limit = qMin(limit, m_Response.cutAfter);
            if (m_Response.stallAfter >= 0)
                limit = qMin(limit, m_Response.stallAfter);
            if (m_Sent >= limit) {
                finishBody();
                return;
            }
            const qint64 n = qMin(m_Response.chunkSize, limit - m_Sent);
            QByteArray piece;
            if (m_File.isOpen()) {
                piece = m_File.read(n);
                if (piece.isEmpty()) {
                    closeNow();
                    return;
                }
            } else {
                piece = m_Response.body.mid(int(m_Sent), int(n));
            }
            m_Socket->write(piece);
            m_Sent += piece.size();
            m_Server->m_BytesSent[m_Path] += piece.size();
            if (m_Response.chunkDelayMs > 0) {
                m_Waiting = true;
                QTimer::singleShot(m_Response.chunkDelayMs, this, [this] {
                    m_Waiting = false;
                    pump();
                });
                return;
            }
        }
    }

    void finishBody()
    {
        const bool stalled = m_Response.stallAfter >= 0 && m_Sent >= m_Response.stallAfter
            && (m_Response.cutAfter < 0 || m_Response.stallAfter <= m_Response.cutAfter)
            && m_Response.stallAfter < m_BodySize;
        m_Done = true;
        if (stalled)
            return; // keep the connection open and silent
        // Flushes what is queued, then closes: the client sees the bytes and then the end of the stream.
        m_Socket->disconnectFromHost();
    }

    TestHttpServer *m_Server;
    QTcpSocket *m_Socket;
    QByteArray m_Request;
    QString m_Path;
    Response m_Response;
    QFile m_File;
    qint64 m_BodySize = 0;
    qint64 m_Sent = 0;
    bool m_Started = false;
    bool m_Done = false;
    bool m_Waiting = false;
};

TestHttpServer::Response TestHttpServer::Response::ok(const QByteArray &body)
{
    Response r;
    r.body = body;
    return r;
}

TestHttpServer::Response TestHttpServer::Response::file(const QString &path)
{
    Response r;
    r.filePath = path;
    return r;
}

TestHttpServer::Response TestHttpServer::Response::withStatus(int status, const QByteArray &body)
{
    Response r;
    r.status = status;
    r.body = body;
    return r;
}

TestHttpServer::Response TestHttpServer::Response::redirect(int status, const QString &location)
{
    Response r;
    r.status = status;
    r.body = "moved";
    r.headers.append(qMakePair(QByteArray("Location"), location.toUtf8()));
    return r;
}

TestHttpServer::TestHttpServer(QObject *parent) : QObject(parent), m_Server(new QTcpServer(this))
{
    connect(m_Server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer()
{
    // The connections are children and go with this object; they must not call back into it then.
    const QList<Connection *> connections = m_Connections;
    m_Connections.clear();
    qDeleteAll(connections);
}

bool TestHttpServer::listen()
{
    return m_Server->listen(QHostAddress::LocalHost, 0);
}

quint16 TestHttpServer::port() const
{
    return m_Server->serverPort();
}

QUrl TestHttpServer::url(const QString &path) const
{
    return QUrl(baseUrl() + path);
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void TestHttpServer::setResponse(const QString &path, const Response &response)
{
    m_Responses[path] = QList<Response>{response};
}

void TestHttpServer::setResponses(const QString &path, const QList<Response> &responses)
{
    m_Responses[path] = responses;
}

int TestHttpServer::requestCount(const QString &path) const
{
    return m_Counts.value(path, 0);
}

int TestHttpServer::totalRequests() const
{
    return m_Total;
}

QByteArray TestHttpServer::lastRequestHeader(const QString &path) const
{
    return m_LastHeaders.value(path);
}

qint64 TestHttpServer::bytesSent(const QString &path) const
{
    return m_BytesSent.value(path, 0);
}

void TestHttpServer::closeAllConnections()
{
    const QList<Connection *> connections = m_Connections;
    for (Connection *c : connections)
        c->closeNow();
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_Server->nextPendingConnection())
        new Connection(this, socket);
}

TestHttpServer::Response TestHttpServer::responseFor(const QString &path) const
{
    const auto it = m_Responses.constFind(path);
    if (it == m_Responses.constEnd() || it->isEmpty())
        return Response::withStatus(404, "no such path: " + path.toUtf8());
    const int n = m_Counts.value(path, 1) - 1;
    return it->at(qMin(n, it->size() - 1));
}
