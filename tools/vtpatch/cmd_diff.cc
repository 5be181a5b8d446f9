// `vtpatch diff OLD NEW PATCH` and `vtpatch patch OLD PATCH NEW`: the standalone byte diff.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "create/bytediff_create.h"
#include "lib/bytediff.h"
#include "lib/mapped_file.h"
#include "lib/streams.h"

namespace vtpatch_tool {

namespace {

// An input file's bytes: mapped when there are any. Unlike the engine's inputs, an empty file
// is a perfectly good old or new version here.
class InputFile {
public:
    // False with *error set when the file cannot be read.
    bool Open(const std::string &path, std::string *error)
    {
        struct stat info;
        if (stat(path.c_str(), &info) != 0) {
            *error = "cannot read '" + path + "': " + std::strerror(errno);
            return false;
        }
        if (S_ISDIR(info.st_mode)) {
            *error = "cannot read '" + path + "': it is a directory";
            return false;
        }
        if (info.st_size == 0) {
            return true;
        }
        if (!m_file.Open(path)) {
            *error = "cannot read '" + path + "': " + std::strerror(errno != 0 ? errno : EIO);
            return false;
        }
        return true;
    }

    const uint8_t *data() const { return m_file.valid() ? m_file.data() : nullptr; }
    size_t length() const { return m_file.valid() ? m_file.length() : 0; }

private:
    vtpatch::MappedFile m_file;
};

int Fail(const char *command, const std::string &message)
{
    std::fprintf(stderr, "vtpatch %s: %s\n", command, message.c_str());
    return 1;
}

int RunDiff(const std::vector<std::string> &args);
int RunPatch(const std::vector<std::string> &args);

const Command kDiff = {"diff", "OLD NEW PATCH",
                       "Writes a standalone byte diff (\"VTDIFF10\") that turns OLD into NEW, LZMA2 compressed.\n"
                       "`vtpatch patch` applies it. Inputs up to 2 GiB each.\n"
                       "Exit codes: 0 written, 1 an input could not be read or PATCH not written, 64 usage.",
                       &RunDiff};

const Command kPatch = {"patch", "OLD PATCH NEW",
                        "Applies a standalone byte diff made by `vtpatch diff` to OLD and writes NEW, after checking\n"
                        "its checksum. NEW is replaced only when the whole result is correct.\n"
                        "Exit codes: 0 written, 1 an input could not be read, the patch does not apply or NEW\n"
                        "not written (--verbose shows the engine's reason), 64 usage.",
                        &RunPatch};

const CommandRegistrar diffRegistrar(kDiff);
const CommandRegistrar patchRegistrar(kPatch);

bool CheckArguments(const Command &command, const std::vector<std::string> &args, int *exitCode)
{
    if (args.size() != 3) {
        *exitCode = UsageError(command, "expected 3 arguments, got " + std::to_string(args.size()));
        return false;
    }
    for (const std::string &arg : args) {
        if (arg.empty() || (arg.size() > 1 && arg[0] == '-')) {
            *exitCode = UsageError(command, arg.empty() ? "empty file name" : "unknown option '" + arg + "'");
            return false;
        }
    }
    return true;
}

int RunDiff(const std::vector<std::string> &args)
{
    int exitCode = 0;
    if (!CheckArguments(kDiff, args, &exitCode)) {
        return exitCode;
    }
    const std::string &oldPath = args[0];
    const std::string &newPath = args[1];
    const std::string &patchPath = args[2];

    std::string error;
    InputFile oldFile;
    InputFile newFile;
    if (!oldFile.Open(oldPath, &error) || !newFile.Open(newPath, &error)) {
        return Fail("diff", error);
    }

    Progress progress("diff", newFile.length());
    vtpatch::ByteDiffOptions options;
    options.standalone = true;
    options.progress = [&progress](uint64_t done, uint64_t) { progress.Update(done); };
    vtpatch::WriteStream patch;
    if (!vtpatch::CreateByteDiff(oldFile.data(), oldFile.length(), newFile.data(), newFile.length(), &patch, options,
                                 &error)) {
        return Fail("diff", "cannot diff '" + oldPath + "' to '" + newPath + "': " + error);
    }
    if (!vtpatch::WriteWholeFile(patchPath, patch.Data(), patch.Length())) {
        return Fail("diff", "cannot write '" + patchPath + "': " + std::strerror(errno != 0 ? errno : EIO));
    }
    return 0;
}

int RunPatch(const std::vector<std::string> &args)
{
    int exitCode = 0;
    if (!CheckArguments(kPatch, args, &exitCode)) {
        return exitCode;
    }
    const std::string &oldPath = args[0];
    const std::string &patchPath = args[1];
    const std::string &newPath = args[2];

    std::string error;
    InputFile oldFile;
    InputFile patchFile;
    if (!oldFile.Open(oldPath, &error) || !patchFile.Open(patchPath, &error)) {
        return Fail("patch", error);
    }

    vtpatch::ReadStream old(oldFile.data(), oldFile.length());
    vtpatch::ReadStream patch(patchFile.data(), patchFile.length());
    vtpatch::WriteStream result;
    if (!vtpatch::ApplyByteDiff(old, &patch, &result, true)) {
        return Fail("patch", "cannot apply '" + patchPath + "' to '" + oldPath +
                                 "': the patch is damaged or was made from another old file"
                                 " (--verbose shows why)");
    }
    if (!patch.IsConsumed()) {
        return Fail("patch", "'" + patchPath + "' has " + std::to_string(patch.Remaining()) +
                                 " unexpected bytes after the diff; it is damaged");
    }
    if (!vtpatch::WriteWholeFile(newPath, result.Data(), result.Length())) {
        return Fail("patch", "cannot write '" + newPath + "': " + std::strerror(errno != 0 ? errno : EIO));
    }
    return 0;
}

} // namespace

} // namespace vtpatch_tool
