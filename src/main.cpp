#include "configuration.h"
#include "mainwindow.h"
#include "singleinstancechecker.h"
#include "updatechecker.h"
#include "updateengine.h"
#include "updatelog.h"

#include "UpdateMessage.pb.h"

#include <QApplication>
#include <QDebug>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include <google/protobuf/stubs/common.h>

namespace {
void shutDown()
{
    UpdateLog::instance()->close();
    google::protobuf::ShutdownProtobufLibrary();
}
} // namespace

int main(int argc, char *argv[])
{
    GOOGLE_PROTOBUF_VERIFY_VERSION;
    qRegisterMetaType<UpdateVersions>("UpdateVersions");

    // Before the application object, so that every later line reaches the log.
    UpdateLog::instance();
    qInstallMessageHandler(logMessageHandler);

    QApplication app(argc, argv);
    qDebug() << "Vantorel updater started";

    const QString programDir = QCoreApplication::applicationDirPath();
    UpdateEngine::removeLeftovers(programDir);

    if (SingleInstanceChecker::isOtherInstanceRunning(QStringLiteral("#"))) {
        qDebug() << "Detected other instance running, aborting";
        shutDown();
        return 0;
    }

    const QString locale = QLocale::system().name();
    QTranslator updateTranslator;
    QTranslator qtTranslator;
    updateTranslator.load(programDir + QStringLiteral("/translations/update_") + locale);
    qtTranslator.load(programDir + QStringLiteral("/translations/qt_") + locale);
    app.installTranslator(&updateTranslator);
    app.installTranslator(&qtTranslator);

    Configuration configuration;
    MainWindow window(&configuration);

    int result = 1;
    if (!configuration.parseCommandLineOptions()) {
        qWarning() << "Failed to parse command line options, aborting";
    } else {
        QTimer::singleShot(2000, &window, &MainWindow::onStartUpdate);
        window.updateHeaderText();
        window.show();
        window.delete_force_update_files();
        result = app.exec();
    }
    shutDown();
    return result;
}
