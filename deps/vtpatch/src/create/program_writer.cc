#include "create/program_writer.h"

#include "lib/disassembler.h"
#include "lib/encoded_program.h"
#include "lib/labeled_program.h"
#include "lib/streams.h"

namespace vtpatch {

PatchStatus EncodeExecutable(const uint8_t *data, size_t length, std::unique_ptr<EncodedProgram> *program, int *kind)
{
    std::unique_ptr<LabeledProgram> labeled;
    const PatchStatus status = ParseDetectedExecutable(data, length, &labeled);
    if (status != PATCH_OK)
        return status;
    if (!labeled)
        return PATCH_DISASSEMBLY_ERROR;
    if (!labeled->TrimLabels())
        return PATCH_TRIM_ERROR;
    std::unique_ptr<EncodedProgram> encoded;
    if (!labeled->Encode(&encoded) || !encoded)
        return PATCH_DIFF_FAILED;
    *kind = labeled->kind();
    *program = std::move(encoded);
    return PATCH_OK;
}

bool WriteLinearEncodedProgram(const EncodedProgram &program, WriteStream *out)
{
    WriteStreamSet streams;
    return WriteEncodedProgram(program, &streams) == PATCH_OK && streams.CopyTo(out);
}

bool WriteStreamSetOfCount(const WriteStream *const *streams, size_t count, WriteStream *out)
{
    if (count > ReadStreamSet::kMaxStreams)
        return false;
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        if (streams[i]->Failed() || streams[i]->Length() > UINT32_MAX)
            return false;
        total += streams[i]->Length();
    }
    WriteStream header;
    // The magic is written as its four-byte varint, which is also its minimal encoding.
    bool ok = header.WriteVarint32(kStreamSetMagic) && header.WriteSizeVarint32(count);
    for (size_t i = 0; ok && i < count; ++i)
        ok = header.WriteSizeVarint32(streams[i]->Length());
    ok = ok && out->Reserve(header.Length() + total) && out->Write(header.Data(), header.Length());
    for (size_t i = 0; ok && i < count; ++i)
        ok = out->Write(streams[i]->Data(), streams[i]->Length());
    return ok;
}

} // namespace vtpatch
