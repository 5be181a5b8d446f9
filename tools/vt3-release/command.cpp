#include "command.h"

#include <algorithm>
#include <cstdio>

namespace vt3release {

namespace {
std::vector<Command> &registry()
{
    static std::vector<Command> all;
    return all;
}
} // namespace

CommandRegistrar::CommandRegistrar(const Command &command)
{
    std::vector<Command> &all = registry();
    all.push_back(command);
    std::sort(all.begin(), all.end(), [](const Command &a, const Command &b) { return qstrcmp(a.name, b.name) < 0; });
}

const std::vector<Command> &commands()
{
    return registry();
}

void printError(const QString &text)
{
    std::fprintf(stderr, "vt3-release: %s\n", text.toLocal8Bit().constData());
}

bool wantsHelp(const QStringList &args)
{
    return args.contains(QStringLiteral("-h")) || args.contains(QStringLiteral("--help"));
}

void printCommandHelp(const Command &command)
{
    std::printf("usage: vt3-release %s %s\n\n%s\n", command.name, command.arguments, command.help);
}

int usageError(const Command &command, const QString &problem)
{
    printError(problem);
    std::fprintf(stderr, "usage: vt3-release %s %s\n(see vt3-release %s --help)\n", command.name, command.arguments,
                 command.name);
    return ExitUsage;
}

} // namespace vt3release
