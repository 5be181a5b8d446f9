// Computes a file's SHA-512 digest with the updater's digest check and prints wall and CPU seconds.
// Used by bench/sha512_bench.sh beside sha512sum of the same file.
//   bench_sha512 FILE
#include "checksigfunc.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <ctime>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: bench_sha512 FILE\n");
        return 2;
    }
    // A wrong expected digest makes the check compute the digest in full and log it; only the time
    // and the verdict's cost matter here.
    CheckSigFunc func(args.at(1), QString(128, QLatin1Char('0')));
    // Wall time and CPU time: on a shared machine the CPU time is the steadier figure.
    QElapsedTimer wall;
    wall.start();
    const std::clock_t cpu = std::clock();
    func.checkSHA512();
    std::printf("%.3f %.3f\n", double(wall.nsecsElapsed()) / 1e9, double(std::clock() - cpu) / CLOCKS_PER_SEC);
    return 0;
}
