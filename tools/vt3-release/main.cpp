// vt3-release: the publisher's tool. Each subcommand is a file of its own that registers itself
// (see command.h); this file only dispatches.
#include "command.h"

#include <QCoreApplication>

#include <cstdio>

namespace {
void printOverview(FILE *out)
{
    std::fprintf(out, "usage: vt3-release COMMAND [ARGUMENTS]\n\n"
                      "Builds and signs what the file server holds for one version of Vantorel 3.\n\n"
                      "Commands:\n");
    for (const vt3release::Command &command : vt3release::commands())
        std::fprintf(out, "  %-8s %s\n", command.name, command.summary);
    std::fprintf(out, "\nvt3-release COMMAND --help describes a command.\n");
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();

    if (args.isEmpty()) {
        printOverview(stderr);
        return vt3release::ExitUsage;
    }
    const QString name = args.takeFirst();
    if (name == QLatin1String("-h") || name == QLatin1String("--help") || name == QLatin1String("help")) {
        printOverview(stdout);
        return 0;
    }
    for (const vt3release::Command &command : vt3release::commands()) {
        if (name == QLatin1String(command.name)) {
            if (vt3release::wantsHelp(args)) {
                vt3release::printCommandHelp(command);
                return 0;
            }
            return command.run(args);
        }
    }
    vt3release::printError(QStringLiteral("unknown command '%1'").arg(name));
    printOverview(stderr);
    return vt3release::ExitUsage;
}
