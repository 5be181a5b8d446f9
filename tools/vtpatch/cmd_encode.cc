// `vtpatch encode EXE OUT` and `vtpatch info EXE`: the transformed form of one executable, as
// the ensemble patch sees it.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "lib/disassembler.h"
#include "lib/encoded_program.h"
#include "lib/labeled_program.h"
#include "lib/mapped_file.h"
#include "lib/streams.h"

namespace {

const char *KindName(int kind)
{
    static const char *const names[] = {"unknown",      "PE32 x86",   "ELF x86",    "ELF ARM",
                                        "PE32+ x86-64", "ELF x86-64", "Mach-O x86", "Mach-O x86-64"};
    return kind >= 0 && kind <= 7 ? names[kind] : "unknown";
}

// Detects, disassembles, trims and encodes `path` exactly as an applier does with an element.
// Prints the failure (with the file name) and returns its exit code, or 0.
int EncodeFile(const char *command, const std::string &path, vtpatch::MappedFile *file,
               std::unique_ptr<vtpatch::LabeledProgram> *labeled, std::unique_ptr<vtpatch::EncodedProgram> *encoded)
{
    if (!file->Open(path)) {
        std::fprintf(stderr, "vtpatch %s: cannot read %s (missing, unreadable or empty)\n", command, path.c_str());
        return 1;
    }
    const vtpatch::PatchStatus status = vtpatch::ParseDetectedExecutable(file->data(), file->length(), labeled);
    if (status == vtpatch::PATCH_NOT_EXECUTABLE) {
        const char *reason = nullptr;
        vtpatch::DetectExecutableType(file->data(), file->length(), &reason);
        std::fprintf(stderr, "vtpatch %s: %s is not a recognised executable (last check: %s)\n", command, path.c_str(),
                     reason != nullptr ? reason : "none");
        return status;
    }
    if (status != vtpatch::PATCH_OK) {
        std::fprintf(stderr, "vtpatch %s: %s could not be disassembled (status %d)\n", command, path.c_str(), status);
        return status;
    }
    if (!(*labeled)->TrimLabels()) {
        std::fprintf(stderr, "vtpatch %s: trimming the labels of %s failed (status %d)\n", command, path.c_str(),
                     vtpatch::PATCH_TRIM_ERROR);
        return vtpatch::PATCH_TRIM_ERROR;
    }
    if (!(*labeled)->Encode(encoded)) {
        std::fprintf(stderr, "vtpatch %s: out of memory encoding %s\n", command, path.c_str());
        return vtpatch::PATCH_DIFF_FAILED;
    }
    return 0;
}

int RunEncode(const std::vector<std::string> &args);
int RunInfo(const std::vector<std::string> &args);

const vtpatch_tool::Command kEncode = {
    "encode", "EXE OUT",
    "Writes the encoded program of the executable EXE to OUT as a linearised stream set: detection,\n"
    "disassembly, label trimming and encoding exactly as an ensemble patch applier does them.\n"
    "Exit codes: 0 written; 1 a file could not be read or written; 24 EXE is not a recognised\n"
    "executable; 25 disassembly failed; 28 label trimming failed; 2 encoding failed; 20 writing failed.",
    &RunEncode};
const vtpatch_tool::Command kInfo = {
    "info", "EXE",
    "Prints the kind of the executable EXE, its label and operation counts, and whether its encoded\n"
    "program assembles back to the same bytes. Exit codes as for `encode`.",
    &RunInfo};
const vtpatch_tool::CommandRegistrar encodeRegistrar(kEncode);
const vtpatch_tool::CommandRegistrar infoRegistrar(kInfo);

int RunEncode(const std::vector<std::string> &args)
{
    if (args.size() != 2)
        return vtpatch_tool::UsageError(kEncode, "expected EXE and OUT");
    vtpatch::MappedFile file;
    std::unique_ptr<vtpatch::LabeledProgram> labeled;
    std::unique_ptr<vtpatch::EncodedProgram> encoded;
    if (const int code = EncodeFile("encode", args[0], &file, &labeled, &encoded))
        return code;
    labeled.reset();
    vtpatch::WriteStreamSet set;
    vtpatch::WriteStream out;
    if (vtpatch::WriteEncodedProgram(*encoded, &set) != vtpatch::PATCH_OK || !set.CopyTo(&out)) {
        std::fprintf(stderr, "vtpatch encode: out of memory writing the program of %s\n", args[0].c_str());
        return vtpatch::PATCH_STREAM_ERROR;
    }
    if (!vtpatch::WriteWholeFile(args[1], out.Data(), out.Length())) {
        std::fprintf(stderr, "vtpatch encode: cannot write %s\n", args[1].c_str());
        return 1;
    }
    return 0;
}

int RunInfo(const std::vector<std::string> &args)
{
    if (args.size() != 1)
        return vtpatch_tool::UsageError(kInfo, "expected EXE");
    vtpatch::MappedFile file;
    std::unique_ptr<vtpatch::LabeledProgram> labeled;
    std::unique_ptr<vtpatch::EncodedProgram> encoded;
    if (const int code = EncodeFile("info", args[0], &file, &labeled, &encoded))
        return code;
    std::printf("file:            %s (%zu bytes)\n", args[0].c_str(), file.length());
    std::printf("kind:            %d (%s)\n", labeled->kind(), KindName(labeled->kind()));
    std::printf("image base:      0x%llx\n", static_cast<unsigned long long>(labeled->image_base()));
    std::printf("abs32 labels:    %zu\n", labeled->abs32_labels().size());
    std::printf("rel32 labels:    %zu\n", labeled->rel32_labels().size());
    std::printf("instructions:    %zu\n", labeled->instruction_count());
    std::printf("ops:             %zu\n", encoded->ops().size());
    std::printf("abs32 refs:      %zu\n", encoded->abs32_ix().size());
    std::printf("rel32 refs:      %zu\n", encoded->rel32_ix().size());
    std::printf("copied bytes:    %zu\n", encoded->copy_bytes().size());
    labeled.reset();
    vtpatch::WriteStream image;
    const vtpatch::PatchStatus status = vtpatch::AssembleEncodedProgram(encoded.get(), &image);
    if (status != vtpatch::PATCH_OK) {
        std::printf("assembles:       no (status %d)\n", status);
        return 0;
    }
    size_t differing = 0;
    const size_t common = image.Length() < file.length() ? image.Length() : file.length();
    for (size_t i = 0; i < common; ++i)
        differing += image.Data()[i] != file.data()[i];
    std::printf("assembles:       %zu bytes, %s (%zu bytes differ in the first %zu)\n", image.Length(),
                image.Length() == file.length() && differing == 0 ? "identical to the file" : "not identical",
                differing, common);
    return 0;
}

} // namespace
