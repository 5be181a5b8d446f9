// `vtpatch apply OLD PATCH NEW` and `vtpatch make-patch OLD NEW PATCH`: ensemble patches.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "create/ensemble_create.h"
#include "lib/disassembler.h"
#include "lib/labeled_program.h"
#include "lib/mapped_file.h"
#include "lib/patch_status.h"
#include "lib/streams.h"
#include "lib/vtpatch.h"

namespace vtpatch_tool {

namespace {

int RunApply(const std::vector<std::string> &args);
int RunMakePatch(const std::vector<std::string> &args);

const Command kApply = {
    "apply", "OLD PATCH NEW",
    "Applies the ensemble patch PATCH to OLD and writes NEW, as the updater does. NEW is written\n"
    "only when the whole result has the checksum the patch names; OLD is never modified.\n"
    "Exit codes: 0 written; otherwise the patch status, explained on standard error:\n"
    "  2 a byte diff failed, 3 PATCH unreadable or empty, 4 OLD unreadable or empty or NEW not\n"
    "  written, 5 not an ensemble patch, 6 another patch version, 7 corrupt header or element\n"
    "  list, 8 OLD (or the result) has the wrong checksum, 12 element outside OLD, 20 stream\n"
    "  error, 21 stream not consumed, 23/26 encoded program unreadable/unassemblable,\n"
    "  24/25 element not an executable/not disassemblable, 28 label trimming failed; 64 usage.",
    &RunApply};

const Command kMakePatch = {
    "make-patch", "OLD NEW PATCH [--elements]",
    "Writes an ensemble patch that turns OLD into NEW. Executables the engine recognises are\n"
    "found in both files: the whole file, or images embedded in a larger file (a bundle or an\n"
    "archive) where an ELF, PE or Mach-O header starts. Old and new executables of the same kind\n"
    "are paired in file order and become elements, diffed in their disassembled form; the rest\n"
    "of the file is diffed byte by byte. Several candidates are made, cheapest first: a plain\n"
    "byte diff inside the ensemble framing, the elements with the new programs' labels numbered\n"
    "in address order, and with them numbered after the old programs' labels (which keeps the\n"
    "diff of unchanged code small); the smallest is written, and the line on standard output\n"
    "says which. --elements leaves out the plain candidate whenever elements are found. An\n"
    "executable that cannot be disassembled (debug sections are the usual cause) is diffed byte\n"
    "by byte, with a note on standard error.\n"
    "Inputs up to 2 GiB each.\n"
    "Exit codes: 0 written, 1 an input could not be read or PATCH not written, 64 usage.",
    &RunMakePatch};

const CommandRegistrar applyRegistrar(kApply);
const CommandRegistrar makePatchRegistrar(kMakePatch);

const char *StatusMeaning(int status)
{
    switch (status) {
    case vtpatch::PATCH_DIFF_FAILED:
        return "a byte diff of the patch could not be applied (damaged patch, or unexpected parameters)";
    case vtpatch::PATCH_READ_ERROR:
        return "the patch file could not be opened or is empty";
    case vtpatch::PATCH_OLD_FILE_ERROR:
        return "the old file could not be opened or is empty, or the new file could not be written";
    case vtpatch::PATCH_BAD_MAGIC:
        return "not an ensemble patch (wrong magic)";
    case vtpatch::PATCH_BAD_VERSION:
        return "the patch has another ensemble version";
    case vtpatch::PATCH_BAD_HEADER:
        return "the patch header or element list is corrupt";
    case vtpatch::PATCH_CRC_MISMATCH:
        return "checksum mismatch: the old file is not the one the patch was made for, or the result is wrong";
    case vtpatch::PATCH_BAD_ELEMENT:
        return "an element lies outside the old file";
    case vtpatch::PATCH_STREAM_ERROR:
        return "a stream operation failed (decompression, allocation or stream set)";
    case vtpatch::PATCH_STREAM_NOT_CONSUMED:
        return "a stream of the patch was not read to its end";
    case vtpatch::PATCH_READ_PROGRAM_ERROR:
        return "an encoded program of the patch could not be read";
    case vtpatch::PATCH_NOT_EXECUTABLE:
        return "an element of the old file is not a recognised executable";
    case vtpatch::PATCH_DISASSEMBLY_ERROR:
        return "an element of the old file could not be disassembled";
    case vtpatch::PATCH_ASSEMBLY_ERROR:
        return "an encoded program could not be assembled";
    case vtpatch::PATCH_TRIM_ERROR:
        return "label trimming failed";
    default:
        return "unknown status";
    }
}

int RunApply(const std::vector<std::string> &args)
{
    int exitCode = 0;
    if (!CheckFileArguments(kApply, args, &exitCode))
        return exitCode;
    const int status = vtpatch::ApplyEnsemblePatchToFiles(args[0], args[1], args[2]);
    if (status == vtpatch::PATCH_OK)
        return 0;
    std::fprintf(stderr, "vtpatch apply: cannot apply '%s' to '%s' giving '%s': %s (status %d)\n", args[1].c_str(),
                 args[0].c_str(), args[2].c_str(), StatusMeaning(status), status);
    // Statuses are small positive numbers; anything else still must not look like success.
    return status > 0 && status < 256 ? status : 1;
}

// "0 elements" does not tell a publisher that an executable was recognised but could not be
// disassembled, and so was diffed byte by byte at a much larger cost. Debug sections are the
// usual cause: disassembly also scans them and fails on what it finds there.
void NoteUndisassemblable(const std::string &path, const vtpatch::MappedFile &file)
{
    std::unique_ptr<vtpatch::LabeledProgram> program;
    if (vtpatch::ParseDetectedExecutable(file.data(), file.length(), &program) == vtpatch::PATCH_DISASSEMBLY_ERROR)
        std::fprintf(stderr,
                     "vtpatch make-patch: note: '%s' is an executable that cannot be disassembled, so it was diffed "
                     "byte by byte; debug sections are the usual cause, and stripped builds make much smaller "
                     "patches\n",
                     path.c_str());
}

int RunMakePatch(const std::vector<std::string> &arguments)
{
    std::vector<std::string> args;
    bool forceElements = false;
    for (const std::string &arg : arguments) {
        if (arg == "--elements")
            forceElements = true;
        else
            args.push_back(arg);
    }
    int exitCode = 0;
    if (!CheckFileArguments(kMakePatch, args, &exitCode))
        return exitCode;
    const std::string &oldPath = args[0];
    const std::string &newPath = args[1];
    const std::string &patchPath = args[2];
    std::string error;
    vtpatch::MappedFile oldFile, newFile;
    if (!OpenInputFile(oldPath, &oldFile, &error) || !OpenInputFile(newPath, &newFile, &error)) {
        std::fprintf(stderr, "vtpatch make-patch: %s\n", error.c_str());
        return 1;
    }
    Progress progress("make-patch", newFile.length());
    vtpatch::EnsembleOptions options;
    options.keep_smaller = !forceElements;
    // The creator reports over all the candidates it makes; the line shows the share done.
    const unsigned long long length = newFile.length();
    options.progress = [&progress, length](uint64_t done, uint64_t total) {
        if (total > 0)
            progress.Update(static_cast<unsigned long long>(static_cast<double>(done) / total * length));
    };
    vtpatch::WriteStream patch;
    vtpatch::EnsembleChoice choice;
    if (!vtpatch::CreateEnsemblePatch(oldFile.data(), oldFile.length(), newFile.data(), newFile.length(), &patch,
                                      options, &error, nullptr, &choice)) {
        std::fprintf(stderr, "vtpatch make-patch: cannot make a patch from '%s' to '%s': %s\n", oldPath.c_str(),
                     newPath.c_str(), error.c_str());
        return 1;
    }
    if (!WriteOutputFile(patchPath, patch, &error)) {
        std::fprintf(stderr, "vtpatch make-patch: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s: %zu bytes, %zu element%s%s (smallest of %zu candidate%s)\n", patchPath.c_str(), patch.Length(),
                choice.element_count, choice.element_count == 1 ? "" : "s",
                choice.aligned_labels ? ", aligned labels" : "", choice.candidates,
                choice.candidates == 1 ? "" : "s");
    if (choice.element_count == 0) {
        NoteUndisassemblable(oldPath, oldFile);
        NoteUndisassemblable(newPath, newFile);
    }
    return 0;
}

} // namespace

} // namespace vtpatch_tool
