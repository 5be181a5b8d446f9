// `vtpatch diff OLD NEW PATCH` and `vtpatch patch OLD PATCH NEW`: the standalone byte diff.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "create/bytediff_create.h"
#include "lib/bytediff.h"
#include "lib/mapped_file.h"
#include "lib/streams.h"

namespace vtpatch_tool {

namespace {

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

int RunDiff(const std::vector<std::string> &args)
{
    int exitCode = 0;
    if (!CheckFileArguments(kDiff, args, &exitCode)) {
        return exitCode;
    }
    const std::string &oldPath = args[0];
    const std::string &newPath = args[1];
    const std::string &patchPath = args[2];

    std::string error;
    vtpatch::MappedFile oldFile;
    vtpatch::MappedFile newFile;
    if (!OpenInputFile(oldPath, &oldFile, &error) || !OpenInputFile(newPath, &newFile, &error)) {
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
    if (!WriteOutputFile(patchPath, patch, &error)) {
        return Fail("diff", error);
    }
    return 0;
}

int RunPatch(const std::vector<std::string> &args)
{
    int exitCode = 0;
    if (!CheckFileArguments(kPatch, args, &exitCode)) {
        return exitCode;
    }
    const std::string &oldPath = args[0];
    const std::string &patchPath = args[1];
    const std::string &newPath = args[2];

    std::string error;
    vtpatch::MappedFile oldFile;
    vtpatch::MappedFile patchFile;
    if (!OpenInputFile(oldPath, &oldFile, &error) || !OpenInputFile(patchPath, &patchFile, &error)) {
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
    if (!WriteOutputFile(newPath, result, &error)) {
        return Fail("patch", error);
    }
    return 0;
}

} // namespace

} // namespace vtpatch_tool
