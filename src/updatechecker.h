#ifndef UPDATECHECKER_H
#define UPDATECHECKER_H

#include <QHash>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QString>

// Channel name ("stable", "beta", "alpha") -> (version number as decimal text, version text).
typedef QHash<QString, QPair<QString, QString>> UpdateVersions;
Q_DECLARE_METATYPE(UpdateVersions)

// Asks the version server which version each release channel offers. Lives in the GUI thread;
// the HTTP request runs on a thread of its own. Reports exactly once through update_available
// (an empty map when the query failed) and then deletes itself.
class UpdateChecker : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(UpdateChecker)

public:
    explicit UpdateChecker(QObject *parent = nullptr);

    void checkForUpdate();

    // How long the query may take before it counts as failed (an empty map). The default is 30 s;
    // tests shorten it. Set before checkForUpdate().
    void setTimeLimit(int msec);

signals:
    void update_available(UpdateVersions versions);

private slots:
    void on_updateCheckAvailable(QByteArray updateData);

private:
    int m_TimeLimitMs = 30000;
};

#endif // UPDATECHECKER_H
