// Downloads one file with DownloadTaskSpecification, the way the updater does, and prints the time.
// Used by bench/download_bench.sh beside curl of the same URL.
//   bench_download BASE_URL VERSION SERVER_PATH TARGET [EXPECTED_SIZE]
#include "configuration.h"
#include "downloadtaskspecification.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: bench_download BASE_URL VERSION SERVER_PATH TARGET [EXPECTED_SIZE]\n");
        return 2;
    }
    Configuration::downloadBaseUrl = args.at(1).endsWith('/') ? args.at(1) : args.at(1) + '/';
    const qint64 expected = args.size() > 5 ? args.at(5).toLongLong() : -1;

    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    DownloadTaskSpecification task(&manager, args.at(3), args.at(2).toInt(), args.at(4), expected, nullptr, 1);
    QObject::connect(&task, &TaskSpecification::message, [](const QString &text) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    QObject::connect(&task, &TaskSpecification::finished, &app, [&app] { app.exit(0); });
    QObject::connect(&task, &TaskSpecification::canceled, &app, [&app] { app.exit(1); });
    // The engine polls once a second; so does the benchmark, to exercise the same path.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&task] {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.getDownloadStatus(done, total, speed, downloading);
    });
    poll.start(1000);

    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(0, &task, &DownloadTaskSpecification::execute);
    const int rc = app.exec();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const qint64 bytes = QFileInfo(args.at(4)).size();
    std::printf("%.3f %lld\n", seconds, static_cast<long long>(bytes));
    return rc;
}
