#ifndef CONFIGURATION_H
#define CONFIGURATION_H

#include <QObject>
#include <QString>
#include <QStringList>

#include "updatechecker.h"

// Everything an update session needs to know before it starts: product part, target version,
// release channel, directories, proxy and number of parallel downloads. Filled from the group
// "Channel" of an update.ini, the command line, the version server and the group "update" of the
// update.ini beside the running updater.
//
// One object per process, created by main() without a parent; GUI thread only. The public fields are
// read by the other classes and written only by this class (tests may set them to build a fixture).
class Configuration : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(Configuration)

public:
    explicit Configuration(QObject *parent = nullptr);

    // Reads QCoreApplication::arguments(). Returns false when the command line is unusable (a fatal
    // error has been emitted then). May start the version query.
    bool parseCommandLineOptions();
    // The same with an explicit argument list; position 0 is the program itself.
    bool parseCommandLineOptions(const QStringList &args);

    void getUpdateChannel();
    bool parseClientTypeAndVersion(const QStringList &args, int position);
    // Keeps a version that is already set (an alpha channel's pinned version wins). errorText holds %1.
    bool setVersionNumber(const QString &versionText, const QString &errorText);
    bool getDefaultParameters();

    // Called by the update engine when a session begins; empty arguments mean a new session.
    bool initalizeStart(const QString &tempDir, const QString &installDir);
    // Creates the next free "vantorel_temp_<n>" in the system temporary directory, mode 0700.
    bool createTempDir();
    // Reads proxy and streams from the group "update" of the update.ini beside the updater.
    void readUpdateSettings();

    // The client's configuration directory, ending in a separator ("VT3_CONFIG_DIR" or ~/.vt3client/).
    static QString configDirectory();
    // The version server's URL: the environment variable VT3_VERSION_SERVER_URL, else the built-in one.
    static QString versionServerUrl();
    // The download base of the stable and beta channels: VT3_DOWNLOAD_BASE_URL, else the built-in one,
    // always ending in "/".
    static QString defaultDownloadBaseUrl();

    bool isReady() const { return m_Ready; }

    // Base URL of the update files server, always ending in "/"; set by getUpdateChannel and read by
    // every download. Process-wide, GUI thread only.
    static QString downloadBaseUrl;

    bool m_Ready = false;
    int m_ClientUpdate = 0; // 1 in the second step (first argument "--clientupdate")
    int m_Channel = 0;      // 0 stable, 1 beta, 2 alpha
    QString m_ClientType;
    int m_VersionNumber = 0; // 0: not known yet
    QString m_VersionString;
    QString m_TempDir;
    QString m_InstallDir;
    QString m_Proxy;   // empty: no proxy
    int m_Streams = 6; // parallel downloads

signals:
    void ready();
    void fatalError(QString errorMessage);
    void message(QString message);

public slots:
    void on_updateAvailable(UpdateVersions versions);

protected:
    // Starts the version query whose reply arrives in on_updateAvailable. The network seam of this
    // class: tests of the command-line grammar replace it so that no request leaves the process.
    virtual void startVersionQuery();

private:
    bool m_VersionQueryStarted = false;
};

#endif // CONFIGURATION_H
