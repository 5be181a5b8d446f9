#ifndef UPDATEENGINE_H
#define UPDATEENGINE_H

#include <QObject>
#include <QString>

class Configuration;

// Owns the update session. For now it holds what start-up needs: it reads the network settings of
// the configuration and cleans the leftovers of older updaters; the session logic (initialize,
// startUpdate and the relays to the window) joins later. GUI thread only.
class UpdateEngine : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(UpdateEngine)

public:
    // The configuration is not owned and must outlive the engine.
    explicit UpdateEngine(Configuration *configuration, QObject *parent = nullptr);

    // Removes "libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4" and "libQtSql.so.4" from dir.
    static void removeQt4Files(const QString &dir);
    // Removes "_old_" + each name an earlier installation may have left (the updater and its Qt
    // libraries and plugins) from dir. Failures are ignored.
    static void removeOldFiles(const QString &dir);
    // The whole start-up cleaning of the program directory dir: both lists there, the "_old_" files in
    // its subdirectories "old", "imageformats", "accessible" and "sqldrivers", and "old" itself when
    // it is empty. Never stops the start.
    static void removeLeftovers(const QString &dir);

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void message(QString message);

private:
    Configuration *m_Configuration;
};

#endif // UPDATEENGINE_H
