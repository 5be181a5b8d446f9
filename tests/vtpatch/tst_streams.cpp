// Streams, varints, stream sets, LZMA2 blocks and the patch checksum.
#include <QByteArray>
#include <QRandomGenerator>
#include <QtTest>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "create/lzma2_writer.h"
#include "enginetestutil.h"
#include "lib/checksum.h"
#include "lib/logging.h"
#include "lib/lzma2_block.h"
#include "lib/streams.h"

using namespace vtpatch;
using EngineTestUtil::Bytes;
using EngineTestUtil::LogCapture;
using EngineTestUtil::U8;
using TestFiles::randomBytes;

// Allocation failures are part of what these tests show; under AddressSanitizer a request that
// cannot be met must come back as null (as it does without the sanitizer) instead of aborting.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

// An LZMA2 block whose stored length is replaced by `length`.
QByteArray BlockWithLength(const QByteArray &block, uint32_t length)
{
    ReadStream reader(U8(block), static_cast<size_t>(block.size()));
    uint8_t property = 0;
    uint32_t stored = 0;
    reader.Read(&property, 1);
    reader.ReadVarint32(&stored);
    WriteStream out;
    out.Write(&property, 1);
    out.WriteVarint32(length);
    out.Write(reader.Position(), reader.Remaining());
    return Bytes(out);
}

QByteArray Lzma2Block(const QByteArray &data)
{
    WriteStream out;
    if (!WriteLzma2Block(U8(data), static_cast<size_t>(data.size()), &out)) {
        return QByteArray();
    }
    return Bytes(out);
}

// What reading one block gave: verdict, bytes, bytes left after it and the records.
struct BlockRead {
    bool ok = false;
    QByteArray bytes;
    size_t left = 0;
    QStringList records;
};

BlockRead ReadAtOnce(const QByteArray &block)
{
    LogCapture log;
    ReadStream in(U8(block), static_cast<size_t>(block.size()));
    WriteStream out;
    BlockRead result;
    result.ok = in.ReadLzma2Block(&out);
    result.bytes = Bytes(out);
    result.left = in.Remaining();
    result.records = log.records;
    return result;
}

// The same with Lzma2BlockReader, `piece` bytes per Read.
BlockRead ReadInPieces(const QByteArray &block, size_t piece)
{
    LogCapture log;
    ReadStream in(U8(block), static_cast<size_t>(block.size()));
    BlockRead result;
    Lzma2BlockReader reader;
    if (reader.Begin(in)) {
        std::vector<uint8_t> buffer(piece);
        bool reading = true;
        while (reading && reader.Delivered() < reader.Length()) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(piece, reader.Length() - reader.Delivered()));
            reading = reader.Read(buffer.data(), n);
            if (reading) {
                result.bytes.append(reinterpret_cast<const char *>(buffer.data()), static_cast<int>(n));
            }
        }
        result.ok = reader.Finish(&in);
    }
    result.left = in.Remaining();
    result.records = log.records;
    return result;
}

} // namespace

class TestStreams : public QObject {
    Q_OBJECT

private slots:
    void unsignedVarint_data();
    void unsignedVarint();
    void readVarint_data();
    void readVarint();
    void signedVarint_data();
    void signedVarint();
    void readAndSkipNeverPassTheEnd();
    void writeStreamGrowth();
    void failedStateIsSticky();
    void appendAndRelease();
    void sizeVarintOverflowEndsTheProcess();
    void checksum_data();
    void checksum();
    void emptyStreamSetIsFifteenBytes();
    void parseStreamSet_data();
    void parseStreamSet();
    void streamSetRoundTrip();
    void nestedSets();
    void readSetFailures_data();
    void readSetFailures();
    void lzma2RoundTrip_data();
    void lzma2RoundTrip();
    void lzma2Dictionary();
    void lzma2FromOtherEncoders_data();
    void lzma2FromOtherEncoders();
    void lzma2Failures_data();
    void lzma2Failures();
    void lzma2HugeLengthAllocatesLittle();
    void lzma2ReaderAgreesWithOneCall_data();
    void lzma2ReaderAgreesWithOneCall();
    void lzma2Sections();
};

void TestStreams::unsignedVarint_data()
{
    QTest::addColumn<quint32>("value");
    QTest::addColumn<QByteArray>("encoding");
    QTest::newRow("0") << 0u << QByteArray::fromHex("00");
    QTest::newRow("127") << 127u << QByteArray::fromHex("7f");
    QTest::newRow("128") << 128u << QByteArray::fromHex("8001");
    QTest::newRow("300") << 300u << QByteArray::fromHex("ac02");
    QTest::newRow("2^14") << 16384u << QByteArray::fromHex("808001");
    QTest::newRow("2^28 - 1") << 0x0FFFFFFFu << QByteArray::fromHex("ffffff7f");
    QTest::newRow("2^28") << 0x10000000u << QByteArray::fromHex("8080808001");
    QTest::newRow("stream-set magic") << 20090218u << QByteArray::fromHex("ea9aca09");
    QTest::newRow("max") << 0xFFFFFFFFu << QByteArray::fromHex("ffffffff0f");
}

void TestStreams::unsignedVarint()
{
    QFETCH(quint32, value);
    QFETCH(QByteArray, encoding);
    WriteStream out;
    QVERIFY(out.WriteVarint32(value));
    QCOMPARE(Bytes(out), encoding);

    ReadStream in(out);
    uint32_t read = 0;
    QVERIFY(in.ReadVarint32(&read));
    QCOMPARE(read, value);
    QVERIFY(in.IsConsumed());

    WriteStream sized;
    QVERIFY(sized.WriteSizeVarint32(value));
    QCOMPARE(Bytes(sized), encoding);
}

void TestStreams::readVarint_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<quint32>("value");
    QTest::addColumn<int>("consumed");
    QTest::newRow("fifth byte bits 4-6 dropped") << QByteArray::fromHex("ffffffff7f") << true << 0xFFFFFFFFu << 5;
    QTest::newRow("fifth byte continues") << QByteArray::fromHex("ffffffff80") << false << 0u << 0;
    QTest::newRow("lone continuation") << QByteArray::fromHex("80") << false << 0u << 0;
    QTest::newRow("cut after four") << QByteArray::fromHex("ffffffff") << false << 0u << 0;
    QTest::newRow("empty") << QByteArray() << false << 0u << 0;
    QTest::newRow("padded zero") << QByteArray::fromHex("8000") << true << 0u << 2;
    QTest::newRow("stops at first byte") << QByteArray::fromHex("05ff") << true << 5u << 1;
    QTest::newRow("magic padded to five") << QByteArray::fromHex("ea9aca8900") << true << 20090218u << 5;
}

void TestStreams::readVarint()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, ok);
    QFETCH(quint32, value);
    QFETCH(int, consumed);
    ReadStream in(U8(input), static_cast<size_t>(input.size()));
    uint32_t read = 0xDEADBEEF;
    QCOMPARE(in.ReadVarint32(&read), ok);
    if (ok) {
        QCOMPARE(read, value);
    }
    QCOMPARE(in.Remaining(), static_cast<size_t>(input.size() - consumed));
}

void TestStreams::signedVarint_data()
{
    QTest::addColumn<qint32>("value");
    QTest::addColumn<QByteArray>("encoding");
    QTest::newRow("0") << 0 << QByteArray::fromHex("00");
    QTest::newRow("-1") << -1 << QByteArray::fromHex("01");
    QTest::newRow("1") << 1 << QByteArray::fromHex("02");
    QTest::newRow("-2") << -2 << QByteArray::fromHex("03");
    QTest::newRow("-64") << -64 << QByteArray::fromHex("7f");
    QTest::newRow("64") << 64 << QByteArray::fromHex("8001");
    QTest::newRow("min") << std::numeric_limits<qint32>::min() << QByteArray::fromHex("ffffffff0f");
    QTest::newRow("max") << std::numeric_limits<qint32>::max() << QByteArray::fromHex("feffffff0f");
}

void TestStreams::signedVarint()
{
    QFETCH(qint32, value);
    QFETCH(QByteArray, encoding);
    WriteStream out;
    QVERIFY(out.WriteVarint32Signed(value));
    QCOMPARE(Bytes(out), encoding);
    ReadStream in(out);
    int32_t read = 0;
    QVERIFY(in.ReadVarint32Signed(&read));
    QCOMPARE(read, value);
    QVERIFY(in.IsConsumed());
}

void TestStreams::readAndSkipNeverPassTheEnd()
{
    const QByteArray data("abcdef");
    ReadStream in(U8(data), 6);
    char buffer[8] = {};
    QVERIFY(!in.Read(buffer, 7));
    QCOMPARE(in.Remaining(), size_t{6});
    QVERIFY(in.Read(buffer, 2));
    QCOMPARE(QByteArray(buffer, 2), QByteArray("ab"));
    QVERIFY(!in.Skip(5));
    QVERIFY(!in.Skip(std::numeric_limits<size_t>::max()));
    QCOMPARE(in.Remaining(), size_t{4});
    QVERIFY(in.Skip(4));
    QVERIFY(in.IsConsumed());
    QVERIFY(in.Read(buffer, 0));
    QVERIFY(!in.Read(buffer, 1));

    ReadStream empty;
    QVERIFY(empty.IsConsumed());
    uint32_t value = 0;
    QVERIFY(!empty.ReadVarint32(&value));
}

void TestStreams::writeStreamGrowth()
{
    WriteStream out;
    QCOMPARE(out.Capacity(), size_t{0});
    QVERIFY(out.Data() == nullptr);
    QVERIFY(out.Write("x", 0));
    QCOMPARE(out.Capacity(), size_t{0});

    const QByteArray data = randomBytes(1000, 1);
    QVERIFY(out.Write(data.constData(), 1));
    QCOMPARE(out.Capacity(), size_t{256});
    QVERIFY(out.Write(data.constData() + 1, 255));
    QCOMPARE(out.Capacity(), size_t{256});
    QVERIFY(out.Write(data.constData() + 256, 1)); // one past the first buffer: doubled
    QCOMPARE(out.Capacity(), size_t{512});
    QVERIFY(out.Write(data.constData() + 257, 743)); // 1000 bytes: doubled until it fits
    QCOMPARE(out.Capacity(), size_t{1024});
    QCOMPARE(Bytes(out), data);

    // Reserve allocates exactly what is asked for, without doubling, and keeps the contents.
    QVERIFY(out.Reserve(24));
    QCOMPARE(out.Capacity(), size_t{1024});
    QVERIFY(out.Reserve(1001));
    QCOMPARE(out.Capacity(), size_t{2001});
    QCOMPARE(Bytes(out), data);

    WriteStream small;
    QVERIFY(small.Reserve(3));
    QCOMPARE(small.Capacity(), size_t{256});

    out.Release();
    QCOMPARE(out.Length(), size_t{0});
    QCOMPARE(out.Capacity(), size_t{0});
    QVERIFY(out.Write("ab", 2)); // usable again after a release
    QCOMPARE(Bytes(out), QByteArray("ab"));
}

void TestStreams::failedStateIsSticky()
{
    WriteStream out;
    QVERIFY(out.Write("abc", 3));
    // More than any machine can hold: the allocation fails and the stream stays failed.
    QVERIFY(!out.Reserve(std::numeric_limits<size_t>::max() / 2));
    QVERIFY(out.Failed());
    QCOMPARE(out.Length(), size_t{0});
    QVERIFY(out.Data() == nullptr);
    QVERIFY(!out.Write("d", 1));
    QVERIFY(!out.WriteVarint32(1));
    QVERIFY(!out.Reserve(1));
    out.Release();
    QVERIFY(out.Failed());
    QVERIFY(!out.Write("d", 1));

    // A length that would overflow the size type fails like an allocation.
    WriteStream wrapping;
    QVERIFY(wrapping.Write("abc", 3));
    QVERIFY(!wrapping.Reserve(std::numeric_limits<size_t>::max() - 1));
    QVERIFY(wrapping.Failed());

    // Writes whose length would overflow fail without touching the contents.
    WriteStream overflow;
    QVERIFY(overflow.Write("abc", 3));
    QVERIFY(!overflow.Write("abc", std::numeric_limits<size_t>::max() - 1));
    QVERIFY(!overflow.Failed());
    QCOMPARE(Bytes(overflow), QByteArray("abc"));

    // A failed stream poisons whatever it is copied into, instead of vanishing as empty.
    WriteStream target;
    QVERIFY(!target.AppendAndRelease(&out));
    WriteStreamSet set;
    QVERIFY(set.stream(3).Write("x", 1));
    QVERIFY(!set.stream(4).Reserve(std::numeric_limits<size_t>::max()));
    WriteStream linear;
    QVERIFY(!set.CopyTo(&linear));
    WriteStreamSet parent;
    QVERIFY(!parent.WriteSet(&set));
    ReadStream view(out);
    QVERIFY(view.IsConsumed());
}

void TestStreams::appendAndRelease()
{
    WriteStream first;
    WriteStream second;
    QVERIFY(first.Write("head", 4));
    QVERIFY(second.Write("tail", 4));
    QVERIFY(first.AppendAndRelease(&second));
    QCOMPARE(Bytes(first), QByteArray("headtail"));
    QCOMPARE(second.Length(), size_t{0});
    QVERIFY(second.Data() == nullptr);

    WriteStream empty;
    QVERIFY(empty.AppendAndRelease(&first));
    QCOMPARE(Bytes(empty), QByteArray("headtail"));
    QCOMPARE(first.Length(), size_t{0});
    QVERIFY(first.Write("again", 5));
    QCOMPARE(Bytes(first), QByteArray("again"));
}

void TestStreams::sizeVarintOverflowEndsTheProcess()
{
    if (sizeof(size_t) < 8) {
        QSKIP("sizes cannot exceed 32 bits here");
    }
    int fds[2];
    QCOMPARE(pipe(fds), 0);
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        close(fds[0]);
        const int out = fds[1];
        SetLogSink([out](LogLevel level, const std::string &text) {
            const std::string line = std::string(LogLevelName(level)) + " " + text;
            (void)!write(out, line.data(), line.size());
        });
        WriteStream stream;
        stream.WriteSizeVarint32(size_t{1} << 32);
        _exit(0); // not reached: the CRITICAL record ends the process
    }
    close(fds[1]);
    QByteArray record;
    char buffer[512];
    ssize_t got = 0;
    while ((got = read(fds[0], buffer, sizeof buffer)) > 0) {
        record.append(buffer, static_cast<int>(got));
    }
    close(fds[0]);
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 1);
    QVERIFY2(record.startsWith("CRITICAL "), record.constData());
    QVERIFY2(record.contains("value == narrowed_value"), record.constData());
    QVERIFY2(record.contains("deps/vtpatch/src/lib/streams"), record.constData());
    QVERIFY2(record.contains("209"), record.constData());
}

void TestStreams::checksum_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<quint32>("expected");
    QTest::newRow("empty") << QByteArray() << 0xFFFFFFFFu;
    QTest::newRow("abc") << QByteArray("abc") << 0xCADBBE3Du;
    QTest::newRow("check string") << QByteArray("123456789") << (~0xCBF43926u); // the CRC-32 check value
}

void TestStreams::checksum()
{
    QFETCH(QByteArray, data);
    QFETCH(quint32, expected);
    QCOMPARE(PatchChecksum(data.isEmpty() ? nullptr : U8(data), static_cast<size_t>(data.size())), expected);
}

void TestStreams::emptyStreamSetIsFifteenBytes()
{
    WriteStreamSet set;
    WriteStream out;
    QVERIFY(set.CopyTo(&out));
    QCOMPARE(Bytes(out), QByteArray::fromHex("ea9aca090a") + QByteArray(10, '\0'));

    ReadStreamSet read;
    QVERIFY(read.Parse(out.Data(), out.Length()));
    QCOMPARE(read.Count(), size_t{10});
    QVERIFY(read.IsConsumed());

    WriteStreamSet parent;
    WriteStreamSet nested;
    QVERIFY(parent.WriteSet(&nested));
    QCOMPARE(Bytes(parent.stream(0)), QByteArray::fromHex("00"));
    for (size_t i = 1; i < WriteStreamSet::kStreamCount; ++i) {
        QCOMPARE(parent.stream(i).Length(), size_t{0});
    }
}

void TestStreams::parseStreamSet_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("count");
    const QByteArray magic = QByteArray::fromHex("ea9aca09");
    QTest::newRow("count 0, nothing left") << magic + QByteArray::fromHex("00") << true << 0;
    QTest::newRow("count 0, a byte left") << magic + QByteArray::fromHex("0078") << false << 0;
    QTest::newRow("count 2") << magic + QByteArray::fromHex("020102") + "abc" << true << 2;
    QTest::newRow("lengths one short") << magic + QByteArray::fromHex("020101") + "abc" << false << 0;
    QTest::newRow("lengths one over") << magic + QByteArray::fromHex("020202") + "abc" << false << 0;
    QTest::newRow("count 10") << magic + QByteArray::fromHex("0a") + QByteArray(10, '\0') << true << 10;
    QTest::newRow("count 11") << magic + QByteArray::fromHex("0b") + QByteArray(11, '\0') << false << 0;
    QTest::newRow("lengths cut short") << magic + QByteArray::fromHex("0301") << false << 0;
    QTest::newRow("no count") << magic << false << 0;
    QTest::newRow("magic in five bytes") << QByteArray::fromHex("ea9aca890000") << true << 0;
    QTest::newRow("other magic") << QByteArray::fromHex("eb9aca0900") << false << 0;
    QTest::newRow("empty") << QByteArray() << false << 0;
    // Lengths near 2^32 each must not wrap around into a small sum.
    QTest::newRow("wrapping lengths") << magic + QByteArray::fromHex("02ffffffff0f02") + "a" << false << 0;
}

void TestStreams::parseStreamSet()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, ok);
    QFETCH(int, count);

    // Start from a parsed set so that a failure has something to clear.
    const QByteArray good = QByteArray::fromHex("ea9aca09020102") + "xyz";
    ReadStreamSet set;
    QVERIFY(set.Parse(U8(good), static_cast<size_t>(good.size())));

    QCOMPARE(set.Parse(U8(bytes), static_cast<size_t>(bytes.size())), ok);
    if (ok) {
        QCOMPARE(set.Count(), static_cast<size_t>(count));
        QVERIFY(!set.IsConsumed() || bytes.endsWith(QByteArray(1, '\0')) || count == 0);
    } else {
        for (size_t i = 0; i < ReadStreamSet::kMaxStreams; ++i) {
            QCOMPARE(set.stream(i).Remaining(), size_t{0});
        }
    }
    if (QByteArray(QTest::currentDataTag()) == "count 2") {
        QCOMPARE(set.stream(0).Remaining(), size_t{1});
        QCOMPARE(set.stream(1).Remaining(), size_t{2});
        QCOMPARE(*set.stream(1).Position(), uint8_t{'b'});
    }
}

void TestStreams::streamSetRoundTrip()
{
    WriteStreamSet set;
    const QByteArray big = randomBytes(70000, 7); // a length that needs a three-byte varint
    QVERIFY(set.stream(0).Write("zero", 4));
    QVERIFY(set.stream(3).Write(big.constData(), static_cast<size_t>(big.size())));
    QVERIFY(set.stream(9).Write("nine", 4));
    WriteStream out;
    QVERIFY(out.Write("prefix", 6)); // CopyTo appends
    QVERIFY(set.CopyTo(&out));
    for (size_t i = 0; i < WriteStreamSet::kStreamCount; ++i) {
        QCOMPARE(set.stream(i).Length(), size_t{0});
        QVERIFY(set.stream(i).Data() == nullptr);
    }
    const QByteArray linear = Bytes(out).mid(6);
    QCOMPARE(linear.left(5), QByteArray::fromHex("ea9aca090a"));

    ReadStreamSet read;
    QVERIFY(read.Parse(U8(linear), static_cast<size_t>(linear.size())));
    QCOMPARE(read.Count(), size_t{10});
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(read.stream(0).Position()), 4), QByteArray("zero"));
    QCOMPARE(read.stream(3).Remaining(), static_cast<size_t>(big.size()));
    QVERIFY(memcmp(read.stream(3).Position(), big.constData(), static_cast<size_t>(big.size())) == 0);
    QCOMPARE(read.stream(5).Remaining(), size_t{0});
    QVERIFY(!read.IsConsumed());
    QVERIFY(read.stream(0).Skip(4) && read.stream(3).Skip(big.size()) && read.stream(9).Skip(4));
    QVERIFY(read.IsConsumed());
}

void TestStreams::nestedSets()
{
    // Two sets nested one after another come back one after another.
    WriteStreamSet parent;
    WriteStreamSet first;
    WriteStreamSet second;
    QVERIFY(first.stream(0).Write("a0", 2));
    QVERIFY(first.stream(2).Write("a2", 2));
    QVERIFY(second.stream(1).Write("b1b1", 4));
    QVERIFY(parent.WriteSet(&first));
    QVERIFY(parent.WriteSet(&second));
    QCOMPARE(first.stream(2).Length(), size_t{0});
    QCOMPARE(second.stream(1).Length(), size_t{0});
    // Count and lengths precede the data in stream 0; trailing empty streams are not listed.
    QCOMPARE(Bytes(parent.stream(0)), QByteArray::fromHex("03020002") + "a0" + QByteArray::fromHex("020004"));

    WriteStream linear;
    QVERIFY(parent.CopyTo(&linear));
    ReadStreamSet read;
    QVERIFY(read.Parse(linear.Data(), linear.Length()));
    ReadStreamSet a;
    ReadStreamSet b;
    QVERIFY(read.ReadSet(&a));
    QVERIFY(read.ReadSet(&b));
    QVERIFY(read.IsConsumed());
    QCOMPARE(a.Count(), size_t{10});
    QCOMPARE(a.stream(0).Remaining(), size_t{2});
    QCOMPARE(a.stream(1).Remaining(), size_t{0});
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(a.stream(2).Position()), 2), QByteArray("a2"));
    QCOMPARE(a.stream(3).Remaining(), size_t{0});
    QCOMPARE(b.stream(0).Remaining(), size_t{0});
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(b.stream(1).Position()), 4), QByteArray("b1b1"));
    QVERIFY(!read.ReadSet(&a)); // nothing more nested
}

void TestStreams::readSetFailures_data()
{
    QTest::addColumn<QByteArray>("linear");
    const QByteArray magic = QByteArray::fromHex("ea9aca09");
    QTest::newRow("count above 10") << magic + QByteArray::fromHex("0a01") + QByteArray(9, '\0') +
                                           QByteArray::fromHex("0b");
    QTest::newRow("count above the set's") << magic + QByteArray::fromHex("0103") + QByteArray::fromHex("020000");
    QTest::newRow("stream too short") << magic + QByteArray::fromHex("0103") + QByteArray::fromHex("0105aa");
    QTest::newRow("lengths missing") << magic + QByteArray::fromHex("0101") + QByteArray::fromHex("01");
    QTest::newRow("empty stream 0") << magic + QByteArray::fromHex("0100");
    QTest::newRow("no streams") << magic + QByteArray::fromHex("00");
}

void TestStreams::readSetFailures()
{
    QFETCH(QByteArray, linear);
    ReadStreamSet set;
    QVERIFY(set.Parse(U8(linear), static_cast<size_t>(linear.size())));
    const size_t before = set.Count() > 0 ? set.stream(0).Remaining() : 0;
    ReadStreamSet nested;
    QVERIFY(!set.ReadSet(&nested));
    if (set.Count() > 0) {
        QCOMPARE(set.stream(0).Remaining(), before);
    }
    for (size_t i = 0; i < ReadStreamSet::kMaxStreams; ++i) {
        QCOMPARE(nested.stream(i).Remaining(), size_t{0});
    }
}

void TestStreams::lzma2RoundTrip_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("255") << randomBytes(255, 2);
    QTest::newRow("256") << randomBytes(256, 3);
    QTest::newRow("257") << randomBytes(257, 4);
    QTest::newRow("random 300 KB") << randomBytes(300000, 5);
    QTest::newRow("zeros 3 MB") << QByteArray(3 << 20, '\0');
}

void TestStreams::lzma2RoundTrip()
{
    QFETCH(QByteArray, data);
    WriteStream block;
    QVERIFY(WriteLzma2Block(U8(data), static_cast<size_t>(data.size()), &block));
    QVERIFY(block.Write("next", 4)); // the enclosing format's next field

    WriteStream out;
    QVERIFY(out.Write("kept", 4)); // decoded bytes are appended
    ReadStream in(block);
    QVERIFY(in.ReadLzma2Block(&out));
    QCOMPARE(Bytes(out), QByteArray("kept") + data);
    QCOMPARE(in.Remaining(), size_t{4});
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(in.Position()), 4), QByteArray("next"));
}

void TestStreams::lzma2Dictionary()
{
    QCOMPARE(Lzma2DictionarySize(0), 4096u);
    QCOMPARE(Lzma2DictionarySize(1), 6144u);
    QCOMPARE(Lzma2DictionarySize(18), 2u << 20);
    QCOMPARE(Lzma2DictionarySize(39), 3u << 30);
    QCOMPARE(Lzma2DictionarySize(40), 0xFFFFFFFFu);
    QCOMPARE(Lzma2DictionarySize(41), 0u);

    // A small block announces a small dictionary, so that its reader allocates little.
    const QByteArray block = Lzma2Block(QByteArray("hello"));
    QCOMPARE(static_cast<uint8_t>(block.at(0)), uint8_t{0});
}

void TestStreams::lzma2FromOtherEncoders_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QByteArray>("expected");
    // Python's lzma module (raw LZMA2, 4 KiB dictionary, preset 6), framed by hand.
    QTest::newRow("compressed chunk")
        << QByteArray::fromHex("0022e00021001d5d00341949ee8de94f7e47799c0fe25fff4f6a92f1551075ec42136f00a1b800")
        << QByteArray("hello hello hello, stream of bytes");
    // A stored (uncompressed) chunk, as written by hand from the LZMA2 chunk format.
    QTest::newRow("stored chunk") << QByteArray::fromHex("0003010002616263") + QByteArray(1, '\0') << QByteArray("abc");
}

void TestStreams::lzma2FromOtherEncoders()
{
    QFETCH(QByteArray, block);
    QFETCH(QByteArray, expected);
    ReadStream in(U8(block), static_cast<size_t>(block.size()));
    WriteStream out;
    QVERIFY(in.ReadLzma2Block(&out));
    QCOMPARE(Bytes(out), expected);
    QVERIFY(in.IsConsumed());
}

void TestStreams::lzma2Failures_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<bool>("failedSink");
    QTest::addColumn<QString>("record");
    const QByteArray data = randomBytes(5000, 9) + QByteArray(5000, 'a');
    const QByteArray good = Lzma2Block(data);
    QTest::newRow("no property byte") << QByteArray() << false << "ERROR Error read LZMA2 properties";
    QTest::newRow("no length") << QByteArray::fromHex("10") << false << "ERROR Error read LZMA2 unpack size";
    QTest::newRow("bad length") << QByteArray::fromHex("10ffffffffff") << false << "ERROR Error read LZMA2 unpack size";
    QTest::newRow("failed sink") << good << true << "ERROR unable to allocate sink space";
    QTest::newRow("stored length one more")
        << BlockWithLength(good, 10001) << false << "ERROR Error uncompressing data 0";
    QTest::newRow("stored length one less")
        << BlockWithLength(good, 9999) << false << "ERROR Error uncompressing data 10";
    QTest::newRow("cut short") << good.left(good.size() - 20) << false << "ERROR Error uncompressing data 9";
    QTest::newRow("no end marker") << good.left(good.size() - 1) << false << "ERROR Error uncompressing data 9";
    QByteArray badProperty = good;
    badProperty[0] = char(41);
    QTest::newRow("property above 40") << badProperty << false << "ERROR Error uncompressing data 8";
    QTest::newRow("bad control byte") << BlockWithLength(QByteArray::fromHex("00") + QByteArray::fromHex("03"), 1)
                                      << false << "ERROR Error uncompressing data 9";
}

void TestStreams::lzma2Failures()
{
    QFETCH(QByteArray, block);
    QFETCH(bool, failedSink);
    QFETCH(QString, record);
    WriteStream out;
    if (failedSink) {
        QVERIFY(!out.Reserve(std::numeric_limits<size_t>::max()));
    }
    ReadStream in(U8(block), static_cast<size_t>(block.size()));
    LogCapture log;
    QVERIFY(!in.ReadLzma2Block(&out));
    QCOMPARE(log.records, QStringList{record});
    QCOMPARE(in.Remaining(), static_cast<size_t>(block.size()));
    QCOMPARE(out.Length(), size_t{0});
}

void TestStreams::lzma2HugeLengthAllocatesLittle()
{
    // A block claiming 4 GiB with a few bytes of data must not make the reader allocate 4 GiB
    // (nor a 4 GiB dictionary); it fails as any short block does.
    const QByteArray data = QByteArray(1000, 'z');
    const QByteArray block = BlockWithLength(Lzma2Block(data), 0xFFFFFFFFu);
    QByteArray hugeDictionary = block;
    hugeDictionary[0] = char(40);
    for (const QByteArray &input : {block, hugeDictionary}) {
        WriteStream out;
        ReadStream in(U8(input), static_cast<size_t>(input.size()));
        LogCapture log;
        QVERIFY(!in.ReadLzma2Block(&out));
        QCOMPARE(log.records, QStringList{"ERROR Error uncompressing data 0"});
        QVERIFY2(out.Capacity() <= (1u << 21), QByteArray::number(qulonglong(out.Capacity())).constData());

        // The same for the piecewise reader's dictionary.
        ReadStream again(U8(input), static_cast<size_t>(input.size()));
        Lzma2BlockReader reader;
        QVERIFY(reader.Begin(again));
        QVERIFY2(reader.DictionarySize() <= (1u << 21), QByteArray::number(reader.DictionarySize()).constData());
        QVERIFY(reader.DictionarySize() >= 1000);
    }
}

void TestStreams::lzma2ReaderAgreesWithOneCall_data()
{
    // Good and bad blocks: the piecewise reader must give the verdict, the bytes, the position
    // after the block and the record of the one-call reader, whatever the piece size.
    QTest::addColumn<QByteArray>("block");
    const QByteArray data = randomBytes(5000, 9) + QByteArray(5000, 'a');
    const QByteArray good = Lzma2Block(data);
    QTest::newRow("good") << good;
    QTest::newRow("good, more bytes after it") << good + "next field";
    QTest::newRow("empty") << Lzma2Block(QByteArray());
    QTest::newRow("stored chunk") << QByteArray::fromHex("0003010002616263") + QByteArray(1, '\0');
    // Over 2 MiB: several LZMA2 chunks, so pieces cross chunk boundaries.
    QTest::newRow("several chunks") << Lzma2Block(randomBytes(300000, 10).repeated(8) + randomBytes(100000, 11));
    QTest::newRow("no property byte") << QByteArray();
    QTest::newRow("no length") << QByteArray::fromHex("10");
    QTest::newRow("stored length one more") << BlockWithLength(good, 10001);
    QTest::newRow("stored length one less") << BlockWithLength(good, 9999);
    QTest::newRow("stored length far too long") << BlockWithLength(good, 0xFFFFFFFFu);
    QByteArray claimsAll = BlockWithLength(good, 0xFFFFFFFFu);
    claimsAll[0] = char(40);
    QTest::newRow("4 GiB length and dictionary") << claimsAll;
    QTest::newRow("cut short") << good.left(good.size() - 20);
    QTest::newRow("no end marker") << good.left(good.size() - 1);
    QByteArray badProperty = good;
    badProperty[0] = char(41);
    QTest::newRow("property above 40") << badProperty;
    QTest::newRow("bad control byte") << BlockWithLength(QByteArray::fromHex("0003"), 1);
}

void TestStreams::lzma2ReaderAgreesWithOneCall()
{
    QFETCH(QByteArray, block);
    const BlockRead expected = ReadAtOnce(block);
    for (size_t piece : {size_t{1}, size_t{4093}, size_t{1} << 16}) {
        if (piece == 1 && block.size() > 100000) {
            continue; // a byte at a time over megabytes only takes long
        }
        const BlockRead pieces = ReadInPieces(block, piece);
        QCOMPARE(pieces.ok, expected.ok);
        QCOMPARE(pieces.records, expected.records);
        QCOMPARE(pieces.left, expected.left);
        if (expected.ok) {
            QVERIFY(pieces.bytes == expected.bytes);
        }
    }
}

void TestStreams::lzma2Sections()
{
    // Sections compressed with their own settings form one block that both readers decode as
    // the sections back to back; empty sections vanish; the property byte covers the largest
    // section dictionary.
    const QByteArray text = QByteArray("section of text, ").repeated(3000);
    const QByteArray zeros(300000, '\0');
    const QByteArray random = randomBytes(70000, 12);
    const QByteArray parts[] = {text, zeros, QByteArray(), random, QByteArray()};
    Lzma2Section sections[5];
    for (int i = 0; i < 5; ++i) {
        sections[i].data = U8(parts[i]);
        sections[i].length = static_cast<size_t>(parts[i].size());
    }
    sections[1].options.literal_context = 0;
    sections[1].options.position_bits = 0;
    sections[1].options.max_dictionary = 1 << 16;
    sections[3].options.preset = 0;
    WriteStream out;
    QVERIFY(WriteLzma2BlockSections(sections, 5, &out));
    const QByteArray block = Bytes(out);
    QVERIFY(Lzma2DictionarySize(static_cast<uint8_t>(block.at(0))) >= static_cast<uint32_t>(text.size()));
    const QByteArray expected = text + zeros + random;
    const BlockRead atOnce = ReadAtOnce(block + "after");
    QVERIFY(atOnce.ok);
    QVERIFY(atOnce.bytes == expected);
    QCOMPARE(atOnce.left, size_t{5});
    const BlockRead pieces = ReadInPieces(block + "after", 5000);
    QVERIFY(pieces.ok);
    QVERIFY(pieces.bytes == expected);
    QCOMPARE(pieces.left, size_t{5});

    // Nothing at all: just the end marker.
    WriteStream empty;
    QVERIFY(WriteLzma2BlockSections(sections + 2, 1, &empty));
    QCOMPARE(Bytes(empty), QByteArray::fromHex("000000"));
}

QTEST_GUILESS_MAIN(TestStreams)
#include "tst_streams.moc"
