#ifndef TOOLRUNNER_H
#define TOOLRUNNER_H

// Runs a program the build made (build/bin) and captures how it ended.

#include <QProcess>
#include <QString>
#include <QStringList>

#include "testpaths.h"

namespace ToolRunner {

struct Run {
    int exitCode = -1; // -1 when the program did not finish normally
    QString standardError;
    QString standardOutput;
};

inline Run runTool(const QString &name, const QStringList &arguments, int timeoutMs = 120000)
{
    QProcess process;
    process.start(TestPaths::binDir() + QLatin1Char('/') + name, arguments);
    Run run;
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit) {
        run.standardError = QStringLiteral("did not finish: ") + process.errorString();
        return run;
    }
    run.exitCode = process.exitCode();
    run.standardError = QString::fromLocal8Bit(process.readAllStandardError());
    run.standardOutput = QString::fromLocal8Bit(process.readAllStandardOutput());
    return run;
}

} // namespace ToolRunner

#endif // TOOLRUNNER_H
