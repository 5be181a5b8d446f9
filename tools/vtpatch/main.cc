// vtpatch: the patch engine on the command line, for publishers and tests.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "lib/logging.h"

namespace {

void PrintHelp(FILE *out)
{
    std::fprintf(out, "usage: vtpatch [--verbose] COMMAND ARGUMENTS...\n\n"
                      "Makes and applies the updater's binary patches and containers.\n\nCommands:\n");
    for (const vtpatch_tool::Command &command : vtpatch_tool::Commands())
        std::fprintf(out, "  %-10s %s\n", command.name, command.arguments);
    std::fprintf(out, "\n`vtpatch COMMAND --help` describes a command.\n"
                      "--verbose  writes the engine's log records to standard error\n");
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--verbose") == 0 || std::strcmp(argv[i], "-v") == 0)
            verbose = true;
        else
            args.emplace_back(argv[i]);
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        PrintHelp(args.empty() ? stderr : stdout);
        return args.empty() ? vtpatch_tool::kUsageError : 0;
    }
    vtpatch_tool::SetVerbose(verbose);
    if (verbose) {
        vtpatch::SetLogSink([](vtpatch::LogLevel level, const std::string &text) {
            vtpatch_tool::PrintLogRecord(level, text);
        });
    }
    for (const vtpatch_tool::Command &command : vtpatch_tool::Commands()) {
        if (args[0] != command.name)
            continue;
        const std::vector<std::string> rest(args.begin() + 1, args.end());
        for (const std::string &arg : rest) {
            if (arg == "--help" || arg == "-h") {
                std::printf("usage: vtpatch %s %s\n\n%s\n", command.name, command.arguments, command.help);
                return 0;
            }
        }
        return command.run(rest);
    }
    std::fprintf(stderr, "vtpatch: unknown command '%s'\n\n", args[0].c_str());
    PrintHelp(stderr);
    return vtpatch_tool::kUsageError;
}
