#ifndef SINGLEINSTANCECHECKER_H
#define SINGLEINSTANCECHECKER_H

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps a second updater of the same executable and user from running: the first instance listens on
// a local socket named after the executable path and the home directory; a later one sends a short
// message there ("#") and ends. The listening instance reports the message by otherInstanceActivate.
//
// A socket file left behind by a crashed instance is recognised (nobody answers on it), removed, and
// the server listens again, so a crash does not leave later updaters unguarded. GUI thread only.
class SingleInstanceChecker : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(SingleInstanceChecker)

public:
    // Starts listening at once.
    explicit SingleInstanceChecker(QObject *parent = nullptr);
    ~SingleInstanceChecker() override;

    // True when a listening instance took the message. Waits at most a second for each step.
    static bool isOtherInstanceRunning(const QString &message);

    // "VT3ClientUpdate" + qChecksum of lower-cased executable path + home, without "/" and ":", in hex.
    static QString serverName();
    static QString serverName(const QString &executablePath, const QString &homePath);

    // Whether this instance's server listens.
    bool isListening() const;

signals:
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    void listen();

    QLocalServer *m_Server;
    QLocalSocket *m_Connection = nullptr;
};

#endif // SINGLEINSTANCECHECKER_H
