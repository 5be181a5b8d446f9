// Reading and writing encoded programs from and to stream sets.
#include "lib/encoded_program.h"

#include <cstdint>

#include "lib/streams.h"

namespace vtpatch {

namespace {

// Stream indices of a written program.
enum ProgramStream : size_t {
    kBaseAndOrigins = 0,
    kOps = 1,
    kCopyBytes = 2,
    kAbs32Ix = 3,
    kRel32Ix = 4,
    kAbs32Rvas = 5,
    kRel32Rvas = 6,
    kCopyCounts = 7,
};

bool WriteCount(WriteStream *stream, size_t count)
{
    // Counts above 2^32 - 1 would end the process inside WriteSizeVarint32; refuse them instead.
    return count <= UINT32_MAX && stream->WriteSizeVarint32(count);
}

bool WriteVector(WriteStream *stream, const U32Vector &values)
{
    if (values.failed() || !WriteCount(stream, values.size()))
        return false;
    for (size_t i = 0; i < values.size(); ++i) {
        if (!stream->WriteVarint32(values[i]))
            return false;
    }
    return true;
}

bool WriteDeltaVector(WriteStream *stream, const U32Vector &values)
{
    if (values.failed() || !WriteCount(stream, values.size()))
        return false;
    uint32_t previous = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        if (!stream->WriteVarint32(values[i] - previous))
            return false;
        previous = values[i];
    }
    return true;
}

// Every varint takes at least one byte, so a count above the bytes left is false at once,
// before anything is allocated for it.
bool ReadCount(ReadStream *stream, uint32_t *count)
{
    return stream->ReadVarint32(count) && *count <= stream->Remaining();
}

bool ReadVector(ReadStream *stream, U32Vector *values)
{
    uint32_t count = 0;
    if (!ReadCount(stream, &count) || !values->Reserve(count))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t value = 0;
        if (!stream->ReadVarint32(&value) || !values->Append(value))
            return false;
    }
    return true;
}

bool ReadDeltaVector(ReadStream *stream, U32Vector *values)
{
    uint32_t count = 0;
    if (!ReadCount(stream, &count) || !values->Reserve(count))
        return false;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t delta = 0;
        if (!stream->ReadVarint32(&delta))
            return false;
        sum += delta;
        if (!values->Append(sum))
            return false;
    }
    return true;
}

bool ReadBytes(ReadStream *stream, ByteVector *bytes)
{
    uint32_t count = 0;
    if (!ReadCount(stream, &count) || !bytes->Reserve(count) || !bytes->Resize(count, 0))
        return false;
    return count == 0 || stream->Read(bytes->data(), count);
}

} // namespace

PatchStatus WriteEncodedProgram(const EncodedProgram &program, WriteStreamSet *streams)
{
    if (program.failed())
        return PATCH_STREAM_ERROR;
    const ByteVector &bytes = program.copy_bytes();
    const bool ok = streams->stream(kBaseAndOrigins).WriteVarint32(static_cast<uint32_t>(program.image_base())) &&
                    WriteDeltaVector(&streams->stream(kAbs32Rvas), program.abs32_rvas()) &&
                    WriteDeltaVector(&streams->stream(kRel32Rvas), program.rel32_rvas()) &&
                    WriteVector(&streams->stream(kBaseAndOrigins), program.origins()) &&
                    WriteVector(&streams->stream(kOps), program.ops()) &&
                    WriteVector(&streams->stream(kCopyCounts), program.copy_counts()) &&
                    WriteCount(&streams->stream(kCopyBytes), bytes.size()) &&
                    streams->stream(kCopyBytes).Write(bytes.data(), bytes.size()) &&
                    WriteVector(&streams->stream(kAbs32Ix), program.abs32_ix()) &&
                    WriteVector(&streams->stream(kRel32Ix), program.rel32_ix());
    return ok ? PATCH_OK : PATCH_STREAM_ERROR;
}

PatchStatus ReadEncodedProgram(ReadStreamSet *streams, std::unique_ptr<EncodedProgram> *output)
{
    if (streams->Count() < kEncodedProgramStreams)
        return PATCH_READ_PROGRAM_ERROR;
    std::unique_ptr<EncodedProgram> program(new (std::nothrow) EncodedProgram);
    if (!program)
        return PATCH_READ_PROGRAM_ERROR;
    uint32_t image_base = 0;
    const bool ok = streams->stream(kBaseAndOrigins).ReadVarint32(&image_base) &&
                    ReadDeltaVector(&streams->stream(kAbs32Rvas), &program->abs32_rvas_) &&
                    ReadDeltaVector(&streams->stream(kRel32Rvas), &program->rel32_rvas_) &&
                    ReadVector(&streams->stream(kBaseAndOrigins), &program->origins_) &&
                    ReadVector(&streams->stream(kOps), &program->ops_) &&
                    ReadVector(&streams->stream(kCopyCounts), &program->copy_counts_) &&
                    ReadBytes(&streams->stream(kCopyBytes), &program->copy_bytes_) &&
                    ReadVector(&streams->stream(kAbs32Ix), &program->abs32_ix_) &&
                    ReadVector(&streams->stream(kRel32Ix), &program->rel32_ix_);
    if (!ok)
        return PATCH_READ_PROGRAM_ERROR;
    for (size_t i = 0; i < kEncodedProgramStreams; ++i) {
        if (!streams->stream(i).IsConsumed())
            return PATCH_READ_PROGRAM_ERROR;
    }
    program->image_base_ = image_base;
    *output = std::move(program);
    return PATCH_OK;
}

} // namespace vtpatch
