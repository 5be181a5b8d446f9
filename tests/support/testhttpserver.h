#ifndef TESTHTTPSERVER_H
#define TESTHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>

class QTcpServer;
class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 for fault injection that a static server cannot do: any status,
// redirects, a missing or false Content-Length, slow or stalled bodies, connections cut mid-body.
// Lives in the thread that created it and runs in that thread's event loop (the test's), so a test
// must spin the loop (QSignalSpy::wait, QTRY_*) while a client talks to it. Every answer closes the
// connection after the body, so the end of a body without Content-Length is the end of the stream.
class TestHttpServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TestHttpServer)

public:
    struct Response {
        int status = 200;
        QByteArray body;
        // When set, the body is this file, read piecewise while sending (large files stay out of memory).
        QString filePath;
        // Extra header lines, for example ("Location", "http://...").
        QList<QPair<QByteArray, QByteArray>> headers;
        // -1: the true body length; -2: no Content-Length header at all; any other value is sent as is.
        qint64 contentLength = -1;
        // Close the connection after this many body bytes (-1: send everything).
        qint64 cutAfter = -1;
        // Stop sending after this many body bytes and keep the connection open (-1: never stall).
        qint64 stallAfter = -1;
        // Pieces of the body and the pause between them; a pause makes a slow server.
        qint64 chunkSize = 64 * 1024;
        // Read the request and never answer at all, not even the status line.
        bool silent = false;
        int chunkDelayMs = 0;

        static Response ok(const QByteArray &body);
        static Response file(const QString &path);
        static Response withStatus(int status, const QByteArray &body = QByteArray());
        static Response redirect(int status, const QString &location);
    };

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    // Starts listening on 127.0.0.1 at a port the system picks. False if that is impossible.
    bool listen();
    quint16 port() const;
    // "http://127.0.0.1:<port>" followed by path (which starts with "/").
    QUrl url(const QString &path) const;
    QString baseUrl() const;

    // Every request for path gets this answer.
    void setResponse(const QString &path, const Response &response);
    // The n-th request for path (counted from 0) gets responses[n]; later requests get the last one.
    void setResponses(const QString &path, const QList<Response> &responses);

    // Requests received for path (the request target without query), and in total.
    int requestCount(const QString &path) const;
    int totalRequests() const;
    // The raw header block of the last request for path (request line included).
    QByteArray lastRequestHeader(const QString &path) const;
    // Body bytes put on the wire for path over all requests (what the client could have seen).
    qint64 bytesSent(const QString &path) const;

    // Closes every open connection at once (a stalled one, for example).
    void closeAllConnections();

signals:
    void requestReceived(const QString &path);

private slots:
    void onNewConnection();

private:
    class Connection;
    friend class Connection;

    Response responseFor(const QString &path) const;

    QTcpServer *m_Server;
    QHash<QString, QList<Response>> m_Responses;
    QHash<QString, int> m_Counts;
    QHash<QString, QByteArray> m_LastHeaders;
    QHash<QString, qint64> m_BytesSent;
    QList<Connection *> m_Connections;
    int m_Total = 0;
};

#endif // TESTHTTPSERVER_H
