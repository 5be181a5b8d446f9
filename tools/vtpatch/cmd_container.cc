// `vtpatch unpack CONTAINER OUT` and `vtpatch pack IN CONTAINER`: LZMA containers.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "create/lzma_container_create.h"
#include "lib/logging.h"
#include "lib/mapped_file.h"
#include "lib/streams.h"
#include "lib/vtpatch.h"

namespace vtpatch_tool {

namespace {

int RunUnpack(const std::vector<std::string> &args);
int RunPack(const std::vector<std::string> &args);

const Command kUnpack = {
    "unpack", "CONTAINER OUT",
    "Unpacks the LZMA container CONTAINER into OUT, as the updater does: plain (directive 1) or\n"
    "with encoded programs and a byte diff (directive 2), checked against the stored checksum.\n"
    "OUT is written only when the whole result is correct.\n"
    "Exit codes: 0 written, 1 failed (the engine's reason on standard error), 64 usage.",
    &RunUnpack};

const Command kPack = {
    "pack", "IN CONTAINER [--directive 1|2]",
    "Writes IN as an LZMA container. When IN holds executables the engine recognises (the whole\n"
    "file, or images embedded where an ELF, PE or Mach-O header starts; the nine largest when\n"
    "there are more), their encoded programs and a byte diff from their images to IN are stored\n"
    "(directive 2), which compresses machine code better; otherwise, or with --directive 1, the\n"
    "bytes are compressed as they are. --directive 2 insists on the first form and fails for\n"
    "other files. The line on standard output names the directive used.\n"
    "Exit codes: 0 written, 1 IN could not be read or packed or CONTAINER not written, 64 usage.",
    &RunPack};

const CommandRegistrar unpackRegistrar(kUnpack);
const CommandRegistrar packRegistrar(kPack);

bool IsOption(const std::string &arg)
{
    return arg.size() > 1 && arg[0] == '-';
}

int RunUnpack(const std::vector<std::string> &args)
{
    if (args.size() != 2)
        return UsageError(kUnpack, "expected 2 arguments, got " + std::to_string(args.size()));
    for (const std::string &arg : args) {
        if (arg.empty() || IsOption(arg))
            return UsageError(kUnpack, arg.empty() ? "empty file name" : "unknown option '" + arg + "'");
    }
    // The engine names the failure only in its log; collect the records of this call so the
    // reason can be shown. The last ERROR record is the container's own verdict.
    // With --verbose every record is shown as it comes, as main's sink would have.
    std::vector<std::string> records;
    const bool verbose = Verbose();
    vtpatch::SetLogSink([&records, verbose](vtpatch::LogLevel level, const std::string &text) {
        if (verbose)
            PrintLogRecord(level, text);
        if (level <= vtpatch::LOG_ERROR)
            records.push_back(text);
    });
    const bool ok = vtpatch::UnpackLzmaContainer(args[0], args[1]);
    vtpatch::SetLogSink(nullptr);
    if (ok)
        return 0;
    // Without --verbose the earlier errors have not been shown yet.
    for (size_t i = 0; !verbose && i + 1 < records.size(); ++i)
        std::fprintf(stderr, "vtpatch ERROR: %s\n", records[i].c_str());
    std::fprintf(stderr, "vtpatch unpack: cannot unpack '%s' to '%s': %s\n", args[0].c_str(), args[1].c_str(),
                 records.empty() ? "unknown failure" : records.back().c_str());
    return 1;
}

int RunPack(const std::vector<std::string> &args)
{
    std::vector<std::string> paths;
    int forced = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--directive") {
            if (i + 1 >= args.size() || (args[i + 1] != "1" && args[i + 1] != "2"))
                return UsageError(kPack, "--directive takes 1 or 2");
            forced = args[++i] == "1" ? 1 : 2;
        } else if (args[i].empty() || IsOption(args[i])) {
            return UsageError(kPack, args[i].empty() ? "empty file name" : "unknown option '" + args[i] + "'");
        } else {
            paths.push_back(args[i]);
        }
    }
    if (paths.size() != 2)
        return UsageError(kPack, "expected 2 file names, got " + std::to_string(paths.size()));
    const std::string &inPath = paths[0];
    const std::string &containerPath = paths[1];

    struct stat info;
    vtpatch::MappedFile input;
    int readError = 0;
    if (stat(inPath.c_str(), &info) != 0)
        readError = errno;
    else if (S_ISDIR(info.st_mode))
        readError = EISDIR;
    else if (info.st_size > 0 && !input.Open(inPath))
        readError = errno != 0 ? errno : EIO;
    if (readError != 0) {
        std::fprintf(stderr, "vtpatch pack: cannot read '%s': %s\n", inPath.c_str(), std::strerror(readError));
        return 1;
    }
    std::string error;
    vtpatch::WriteStream container;
    uint32_t directive = 0;
    if (!vtpatch::CreateLzmaContainer(input.data(), input.length(), forced != 1, &container, &directive, 9, &error)) {
        std::fprintf(stderr, "vtpatch pack: cannot pack '%s': %s\n", inPath.c_str(), error.c_str());
        return 1;
    }
    if (forced == 2 && directive != 2) {
        std::fprintf(stderr, "vtpatch pack: cannot pack '%s' with directive 2: not an executable the engine recognises\n",
                     inPath.c_str());
        return 1;
    }
    if (!vtpatch::WriteWholeFile(containerPath, container.Data(), container.Length())) {
        std::fprintf(stderr, "vtpatch pack: cannot write '%s': %s\n", containerPath.c_str(),
                     std::strerror(errno != 0 ? errno : EIO));
        return 1;
    }
    std::printf("%s: %zu bytes, directive %u\n", containerPath.c_str(), container.Length(), directive);
    return 0;
}

} // namespace

} // namespace vtpatch_tool
