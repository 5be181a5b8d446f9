// Stream-set parsing, nested sets, varints and LZMA2 blocks on arbitrary bytes. Input: one mode
// byte (mod 3), then the bytes:
//   0: ReadStreamSet::Parse, then ReadSet until it fails, checking the views stay inside
//   1: a run of unsigned and signed varints, each re-encoded and read back
//   2: ReadLzma2Block, until it fails or the bytes are used up
// With VTPATCH_FUZZ_MAKE_CORPUS=DIR set, the target writes its seed corpus to DIR and exits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "create/lzma2_writer.h"
#include "fuzz_input.h"
#include "lib/streams.h"

namespace {

void Check(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

bool Inside(const vtpatch::ReadStream &view, const uint8_t *data, size_t size)
{
    return view.Length() == 0 || (view.Start() >= data && view.Start() + view.Length() <= data + size);
}

void FuzzSet(const uint8_t *data, size_t size)
{
    vtpatch::ReadStreamSet set;
    if (!set.Parse(data, size)) {
        for (size_t i = 0; i < vtpatch::ReadStreamSet::kMaxStreams; ++i) {
            Check(set.stream(i).Length() == 0);
        }
        return;
    }
    Check(set.Count() <= vtpatch::ReadStreamSet::kMaxStreams);
    size_t total = 0;
    for (size_t i = 0; i < set.Count(); ++i) {
        Check(Inside(set.stream(i), data, size));
        total += set.stream(i).Remaining();
    }
    Check(total <= size);
    for (int round = 0; round < 64; ++round) {
        vtpatch::ReadStreamSet nested;
        if (!set.ReadSet(&nested)) {
            break;
        }
        for (size_t i = 0; i < vtpatch::ReadStreamSet::kMaxStreams; ++i) {
            Check(Inside(nested.stream(i), data, size));
        }
        (void)nested.IsConsumed();
    }
}

void FuzzVarints(const uint8_t *data, size_t size)
{
    vtpatch::ReadStream in(data, size);
    bool is_signed = false;
    while (!in.IsConsumed()) {
        const size_t before = in.Remaining();
        vtpatch::WriteStream out;
        if (is_signed) {
            int32_t value = 0;
            if (!in.ReadVarint32Signed(&value)) {
                Check(in.Remaining() == before);
                in.Skip(1);
                continue;
            }
            Check(out.WriteVarint32Signed(value));
            vtpatch::ReadStream again(out);
            int32_t back = 0;
            Check(again.ReadVarint32Signed(&back) && back == value && again.IsConsumed());
        } else {
            uint32_t value = 0;
            if (!in.ReadVarint32(&value)) {
                Check(in.Remaining() == before);
                in.Skip(1);
                continue;
            }
            Check(out.WriteVarint32(value));
            Check(out.Length() <= before - in.Remaining()); // the written form is minimal
            vtpatch::ReadStream again(out);
            uint32_t back = 0;
            Check(again.ReadVarint32(&back) && back == value && again.IsConsumed());
        }
        Check(in.Remaining() < before && before - in.Remaining() <= 5);
        is_signed = !is_signed;
    }
}

void FuzzLzma2(const uint8_t *data, size_t size)
{
    vtpatch::ReadStream in(data, size);
    vtpatch::WriteStream out;
    for (int round = 0; round < 16 && !in.IsConsumed(); ++round) {
        const size_t before = in.Remaining();
        const size_t length = out.Length();
        if (!in.ReadLzma2Block(&out)) {
            Check(in.Remaining() == before);
            break;
        }
        Check(in.Remaining() < before && out.Length() >= length);
    }
}

void MakeCorpus(const std::string &directory)
{
    {
        vtpatch::WriteStreamSet empty;
        vtpatch::WriteStream linear;
        empty.CopyTo(&linear);
        WriteSeed(directory + "/set-empty", 0, linear);
    }
    {
        vtpatch::WriteStreamSet parent;
        for (int n = 0; n < 3; ++n) {
            vtpatch::WriteStreamSet nested;
            for (size_t i = 0; i < static_cast<size_t>(3 + n * 3); ++i) {
                nested.stream(i).Write("nested-bytes", 1 + (i * 5 + static_cast<size_t>(n)) % 12);
            }
            parent.WriteSet(&nested);
        }
        parent.stream(7).Write("tail", 4);
        vtpatch::WriteStream linear;
        parent.CopyTo(&linear);
        WriteSeed(directory + "/set-nested", 0, linear);
    }
    {
        vtpatch::WriteStream varints;
        for (uint32_t value : {0u, 1u, 127u, 128u, 300u, 16384u, 0x0FFFFFFFu, 0x10000000u, 0xFFFFFFFFu}) {
            varints.WriteVarint32(value);
            varints.WriteVarint32Signed(static_cast<int32_t>(value));
        }
        WriteSeed(directory + "/varints", 1, varints);
    }
    {
        static const char kText[] = "stream sets and varints and LZMA2 blocks, stream sets and varints again";
        vtpatch::WriteStream blocks;
        vtpatch::WriteLzma2Block(nullptr, 0, &blocks, 0);
        vtpatch::WriteLzma2Block(reinterpret_cast<const uint8_t *>(kText), sizeof kText, &blocks, 6);
        uint8_t zeros[3000] = {};
        vtpatch::WriteLzma2Block(zeros, sizeof zeros, &blocks, 1);
        WriteSeed(directory + "/lzma2-blocks", 2, blocks);
    }
    std::printf("4 seeds written to %s\n", directory.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    MakeCorpusIfAsked(MakeCorpus);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    switch (data[0] % 3) {
    case 0:
        FuzzSet(data + 1, size - 1);
        break;
    case 1:
        FuzzVarints(data + 1, size - 1);
        break;
    default:
        FuzzLzma2(data + 1, size - 1);
        break;
    }
    return 0;
}
