// Byte diffs: making and applying them in every method and framing, and every way a patch can
// be wrong.
#include <QByteArray>
#include <QRandomGenerator>
#include <QtTest>

#include <string>

#include "create/bytediff_create.h"
#include "create/lzma2_writer.h"
#include "enginetestutil.h"
#include "lib/bytediff.h"
#include "lib/checksum.h"
#include "lib/logging.h"
#include "lib/streams.h"

using namespace vtpatch;
using EngineTestUtil::Bytes;
using EngineTestUtil::LogCapture;
using EngineTestUtil::U8;
using TestFiles::randomBytes;

Q_DECLARE_METATYPE(vtpatch::ByteDiffMethod)

namespace {

// Something like a program: repeated structure with varying fields, so that matches are
// approximate rather than exact.
QByteArray ProgramLike(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        const quint32 address = 0x400000 + static_cast<quint32>(bytes.size()) * 3;
        bytes.append("\x48\x8b\x05", 3);
        bytes.append(reinterpret_cast<const char *>(&address), 4);
        bytes.append(static_cast<char>(generator.bounded(8)));
        bytes.append("\xe8\x00\x00\x00\x00\xc3", 6);
    }
    bytes.truncate(size);
    return bytes;
}

QByteArray MakeDiff(const QByteArray &oldBytes, const QByteArray &newBytes, ByteDiffMethod method, bool standalone)
{
    ByteDiffOptions options;
    options.method = method;
    options.standalone = standalone;
    WriteStream patch;
    std::string error;
    if (!CreateByteDiff(U8(oldBytes), static_cast<size_t>(oldBytes.size()), U8(newBytes),
                        static_cast<size_t>(newBytes.size()), &patch, options, &error)) {
        qWarning("CreateByteDiff: %s", error.c_str());
        return QByteArray();
    }
    return Bytes(patch);
}

struct Applied {
    bool ok = false;
    QByteArray output;
    size_t patchLeft = 0;
    QStringList records;
};

Applied Apply(const QByteArray &oldBytes, const QByteArray &patchBytes, bool standalone)
{
    LogCapture log;
    ReadStream old(U8(oldBytes), static_cast<size_t>(oldBytes.size()));
    ReadStream patch(U8(patchBytes), static_cast<size_t>(patchBytes.size()));
    WriteStream output;
    Applied result;
    result.ok = ApplyByteDiff(old, &patch, &output, standalone);
    result.output = Bytes(output);
    result.patchLeft = patch.Remaining();
    result.records = log.records;
    return result;
}

// A method 0 body: method byte, N, then the three lengths and blocks.
QByteArray RawDiff(uint32_t newSize, const QVector<qint32> &control, const QByteArray &diff, const QByteArray &extra)
{
    WriteStream controlBlock;
    for (qint32 value : control) {
        controlBlock.WriteVarint32Signed(value);
    }
    WriteStream out;
    const uint8_t method = 0;
    out.Write(&method, 1);
    out.WriteVarint32(newSize);
    out.WriteSizeVarint32(controlBlock.Length());
    out.WriteSizeVarint32(static_cast<size_t>(diff.size()));
    out.WriteSizeVarint32(static_cast<size_t>(extra.size()));
    out.Write(controlBlock.Data(), controlBlock.Length());
    out.Write(diff.constData(), static_cast<size_t>(diff.size()));
    out.Write(extra.constData(), static_cast<size_t>(extra.size()));
    return Bytes(out);
}

QByteArray Standalone(uint32_t checksum, const QByteArray &body)
{
    WriteStream out;
    out.Write(kByteDiffMagic, kByteDiffMagicLength);
    out.WriteVarint32(checksum);
    return Bytes(out) + body;
}

QByteArray Checksummed(const QByteArray &newBytes, const QByteArray &body)
{
    return Standalone(PatchChecksum(newBytes.isEmpty() ? nullptr : U8(newBytes), static_cast<size_t>(newBytes.size())),
                      body);
}

QByteArray Lzma2(const QByteArray &data)
{
    WriteStream out;
    WriteLzma2Block(U8(data), static_cast<size_t>(data.size()), &out);
    return Bytes(out);
}

// The same diff with its method 0 payload moved into one LZMA2 block (method 2), or an empty
// array when `patch` has no complete method 0 header.
QByteArray AsMethodTwo(const QByteArray &patch, bool standalone)
{
    ReadStream reader(U8(patch), static_cast<size_t>(patch.size()));
    uint32_t value = 0;
    if (standalone && (!reader.Skip(kByteDiffMagicLength) || !reader.ReadVarint32(&value))) {
        return QByteArray();
    }
    const int methodAt = patch.size() - static_cast<int>(reader.Remaining());
    uint8_t method = 0;
    if (!reader.Read(&method, 1) || method != BYTE_DIFF_RAW || !reader.ReadVarint32(&value)) {
        return QByteArray();
    }
    const int payloadAt = patch.size() - static_cast<int>(reader.Remaining());
    return patch.left(methodAt) + char(BYTE_DIFF_LZMA2_PAYLOAD) + patch.mid(methodAt + 1, payloadAt - methodAt - 1) +
           Lzma2(patch.mid(payloadAt));
}

} // namespace

class TestByteDiff : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void similarInputsMakeSmallDiffs();
    void handMade_data();
    void handMade();
    void methodsOneAndTwoFraming();
    void hugeNewSizeAllocatesLittle();
    void damagedPatchesFail_data();
    void damagedPatchesFail();
    void methodTwoAgreesWithMethodZeroOnDamage();
    void oldStreamPositionIsTheOrigin();
    void tooLargeInputIsRefused();
};

void TestByteDiff::roundTrip_data()
{
    QTest::addColumn<QByteArray>("oldBytes");
    QTest::addColumn<QByteArray>("newBytes");

    const QByteArray base = randomBytes(20000, 11);
    QTest::newRow("both empty") << QByteArray() << QByteArray();
    QTest::newRow("old empty") << QByteArray() << base.left(1000);
    QTest::newRow("new empty") << base.left(1000) << QByteArray();
    QTest::newRow("identical") << base << base;
    QByteArray oneByte = base;
    oneByte[12345] = static_cast<char>(oneByte.at(12345) + 1);
    QTest::newRow("one byte changed") << base << oneByte;
    QTest::newRow("block inserted") << base << base.left(7000) + randomBytes(3000, 12) + base.mid(7000);
    QTest::newRow("block deleted") << base << base.left(5000) + base.mid(9000);
    QTest::newRow("blocks moved") << base << base.mid(10000) + base.left(10000);
    // Diff bytes are added modulo 256: 0xFF in old and 0x01 in new need the diff byte 0x02.
    QByteArray wrapOld(600, '\xff');
    QByteArray wrapNew(600, '\xff');
    for (int i = 0; i < 600; i += 7) {
        wrapNew[i] = '\x01';
    }
    QTest::newRow("0xFF + 0x02 wraps around") << wrapOld << wrapNew;
    for (int size : {255, 256, 257, 511, 512, 513}) {
        QByteArray changed = base.left(size);
        changed[size / 2] = static_cast<char>(~changed.at(size / 2));
        QTest::newRow(qPrintable(QStringLiteral("%1 bytes").arg(size))) << base.left(size) << changed;
    }
    QTest::newRow("unrelated") << randomBytes(5000, 13) << randomBytes(6000, 14);
    QTest::newRow("one byte each") << QByteArray("a") << QByteArray("b");

    // Several megabytes with scattered edits, as two builds of a program differ.
    const QByteArray program = ProgramLike(4 << 20, 15);
    QByteArray edited = program;
    QRandomGenerator generator(16);
    for (int i = 0; i < 400; ++i) {
        const int at = static_cast<int>(generator.bounded(edited.size() - 8));
        edited[at] = static_cast<char>(generator.bounded(256));
    }
    edited.insert(1 << 20, randomBytes(5000, 17));
    edited.remove(3 << 20, 7000);
    QTest::newRow("4 MB with scattered edits") << program << edited;

    // Isolated changes are cut out of long matches into triples of their own: changes at and
    // around the distance that makes them isolated, groups of four and five bytes, changes
    // right before and after an inserted block and at both ends.
    const QByteArray text = ProgramLike(300000, 18);
    QByteArray spotted = text;
    for (int at : {0, 20000, 20255, 20511, 20768, 100000, 100001, 100002, 100003, 120000, 120001, 120002, 120003,
                   120004, 150000, 150300, 299999}) {
        spotted[at] = static_cast<char>(~spotted.at(at));
    }
    spotted.insert(150100, randomBytes(100, 19));
    QTest::newRow("isolated changes") << text << spotted;
}

void TestByteDiff::roundTrip()
{
    QFETCH(QByteArray, oldBytes);
    QFETCH(QByteArray, newBytes);
    for (ByteDiffMethod method : {BYTE_DIFF_RAW, BYTE_DIFF_LZMA2_BLOCKS, BYTE_DIFF_LZMA2_PAYLOAD}) {
        for (bool standalone : {false, true}) {
            const QByteArray patch = MakeDiff(oldBytes, newBytes, method, standalone);
            QVERIFY(!patch.isEmpty());
            QCOMPARE(patch.startsWith(kByteDiffMagic), standalone);
            // The enclosing format's next field follows the diff and must be left alone.
            const Applied applied = Apply(oldBytes, patch + "NEXT", standalone);
            QVERIFY2(applied.ok, qPrintable(QStringLiteral("method %1 standalone %2: %3")
                                                .arg(method)
                                                .arg(standalone)
                                                .arg(applied.records.join(QLatin1Char(';')))));
            QVERIFY(applied.output == newBytes);
            QCOMPARE(applied.patchLeft, size_t{4});
            QVERIFY(applied.records.isEmpty());
        }
    }
}

void TestByteDiff::similarInputsMakeSmallDiffs()
{
    // One changed byte in 1 MB of incompressible data: the diff must be a few hundred bytes,
    // not anything near the input.
    const QByteArray oldBytes = randomBytes(1 << 20, 21);
    QByteArray newBytes = oldBytes;
    newBytes[500000] = static_cast<char>(newBytes.at(500000) ^ 1);
    newBytes.insert(700000, "inserted text");
    const QByteArray patch = MakeDiff(oldBytes, newBytes, BYTE_DIFF_LZMA2_PAYLOAD, false);
    QVERIFY2(patch.size() < 400, QByteArray::number(patch.size()).constData());
    const QByteArray raw = MakeDiff(oldBytes, newBytes, BYTE_DIFF_RAW, false);
    QVERIFY(raw.size() > newBytes.size()); // method 0 stores the diff block uncompressed
}

void TestByteDiff::handMade_data()
{
    QTest::addColumn<QByteArray>("oldBytes");
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<bool>("standalone");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("record"); // empty: no record

    const QByteArray old("abcdef");
    QTest::newRow("diff bytes wrap around") << QByteArray("\xff", 1) << RawDiff(1, {1, 0, 0}, QByteArray("\x02", 1), {})
                                            << false << true << QByteArray("\x01", 1) << QString();
    QTest::newRow("empty output, standalone")
        << old << Checksummed({}, RawDiff(0, {}, {}, {})) << true << true << QByteArray() << QString();
    QTest::newRow("empty output checksum is all ones")
        << old << Standalone(0xFFFFFFFFu, RawDiff(0, {}, {}, {})) << true << true << QByteArray() << QString();
    QTest::newRow("copy, extra, move back") << old << RawDiff(8, {2, 1, -2, 3, 2, 0}, QByteArray(5, '\0'), "XYZ")
                                            << false << true << QByteArray("abXabcYZ") << QString();
    QTest::newRow("empty triple only moves") << old << RawDiff(2, {0, 0, 4, 2, 0, 0}, QByteArray(2, '\0'), {}) << false
                                             << true << QByteArray("ef") << QString();
    QTest::newRow("triples after the end are ignored")
        << old << RawDiff(1, {1, 0, 0, 99, 99, 99}, QByteArray(1, '\0'), {}) << false << true << QByteArray("a")
        << QString();

    QTest::newRow("magic cut short") << old << QByteArray("VTDIF") << true << false << QByteArray() << QString();
    QTest::newRow("wrong magic") << old << QByteArray("VTDIFF11") + RawDiff(0, {}, {}, {}) << true << false
                                 << QByteArray() << "ERROR Corrupt patch header";
    QTest::newRow("checksum missing") << old << QByteArray("VTDIFF10") << true << false << QByteArray()
                                      << "ERROR Could not read crc";
    QTest::newRow("checksum malformed") << old << QByteArray("VTDIFF10\xff\xff\xff\xff\xff") << true << false
                                        << QByteArray() << "ERROR Could not read crc";
    QTest::newRow("checksum mismatch") << old << Standalone(1234, RawDiff(1, {1, 0, 0}, QByteArray(1, '\0'), {}))
                                       << true << false << QByteArray("a") << "ERROR crc mismatch";
    QTest::newRow("no method byte") << old << QByteArray() << false << false << QByteArray() << QString();
    QTest::newRow("method 3") << old << QByteArray("\x03\x00", 2) << false << false << QByteArray()
                              << "ERROR Invalid compression method";
    QTest::newRow("no new size") << old << QByteArray("\x00", 1) << false << false << QByteArray() << QString();
    QTest::newRow("lengths missing") << old << QByteArray("\x00\x01\x03", 3) << false << false << QByteArray()
                                     << QString();
    QTest::newRow("blocks past the patch") << old << RawDiff(1, {1, 0, 0}, QByteArray(1, '\0'), {}).chopped(1) << false
                                           << false << QByteArray() << QString();
    QTest::newRow("control runs out") << old << RawDiff(3, {1, 0, 0}, QByteArray(3, '\0'), {}) << false << false
                                      << QByteArray("a") << "ERROR Corrupt patch reading control";
    QTest::newRow("control ends inside a triple")
        << old << RawDiff(3, {1, 0}, QByteArray(3, '\0'), {}) + QByteArray() << false << false << QByteArray()
        << "ERROR Corrupt patch reading control";
    QTest::newRow("x beyond N") << old << RawDiff(1, {2, 0, 0}, QByteArray(2, '\0'), {}) << false << false
                                << QByteArray() << "ERROR Corrupt patch";
    QTest::newRow("x negative") << old << RawDiff(1, {-1, 0, 0}, {}, {}) << false << false << QByteArray()
                                << "ERROR Corrupt patch";
    QTest::newRow("y beyond N") << old << RawDiff(2, {1, 2, 0}, QByteArray(1, '\0'), "XY") << false << false
                                << QByteArray("a") << "ERROR Corrupt patch";
    QTest::newRow("y negative") << old << RawDiff(2, {1, -1, 0}, QByteArray(1, '\0'), {}) << false << false
                                << QByteArray("a") << "ERROR Corrupt patch";
    QTest::newRow("diff block runs out") << old << RawDiff(2, {2, 0, 0}, QByteArray(1, '\0'), {}) << false << false
                                         << QByteArray() << QString();
    QTest::newRow("extra block runs out")
        << old << RawDiff(2, {0, 2, 0}, {}, "X") << false << false << QByteArray() << QString();
    QTest::newRow("old range past the end")
        << old << RawDiff(7, {7, 0, 0}, QByteArray(7, '\0'), {}) << false << false << QByteArray() << QString();
    QTest::newRow("old position before the start") << old << RawDiff(2, {1, 0, -2, 1, 0, 0}, QByteArray(2, '\0'), {})
                                                   << false << false << QByteArray("a") << QString();
    // Checked even when no old byte is read, so the position never wanders off unnoticed.
    QTest::newRow("empty range outside the old bytes")
        << old << RawDiff(1, {0, 0, 7, 0, 1, 0}, {}, "X") << false << false << QByteArray() << QString();
    QTest::newRow("position wraps to negative")
        << old << RawDiff(2, {1, 0, 0x7FFFFFFF, 1, 0, 0}, QByteArray(2, '\0'), {}) << false << false << QByteArray("a")
        << QString();
    QTest::newRow("method 1, second block cut short")
        << old << QByteArray("\x01\x03", 2) + Lzma2(QByteArray("\x06\x00\x00", 3)) + Lzma2(QByteArray(3, '\0')).left(5)
        << false << false << QByteArray() << "ERROR Error uncompressing data 9";
    // The whole block is checked before a bad control block is reported, as when the block is
    // decoded first: damaged data wins.
    QTest::newRow("method 2, control runs out, data cut short")
        << old << QByteArray("\x02\x03", 2) + Lzma2(RawDiff(3, {1, 0, 0}, QByteArray(3, '\0'), {}).mid(2)).chopped(1)
        << false << false << QByteArray() << "ERROR Error uncompressing data 9";
    QTest::newRow("method 2, block longer than its payload")
        << old << QByteArray("\x02\x01", 2) + Lzma2(RawDiff(1, {1, 0, 0}, QByteArray(1, '\0'), {}).mid(2) + "pad")
        << false << true << QByteArray("a") << QString();
    QTest::newRow("method 2, lengths past the payload")
        << old << QByteArray("\x02\x01", 2) + Lzma2(QByteArray("\x05\x05\x05", 3)) << false << false << QByteArray()
        << QString();
}

void TestByteDiff::handMade()
{
    QFETCH(QByteArray, oldBytes);
    QFETCH(QByteArray, patch);
    QFETCH(bool, standalone);
    QFETCH(bool, ok);
    QFETCH(QByteArray, output);
    QFETCH(QString, record);
    const Applied applied = Apply(oldBytes, patch, standalone);
    QCOMPARE(applied.ok, ok);
    QCOMPARE(applied.records, record.isEmpty() ? QStringList() : QStringList{record});
    QCOMPARE(applied.output, output);
    if (ok) {
        QCOMPARE(applied.patchLeft, size_t{0});
    }

    // Method 2 is applied while its block is decoded, checking the control block before the
    // bytes arrive: it must reach the same verdict with the same record as method 0 does (the
    // partial output of a failure may differ; it is discarded).
    const QByteArray method2 = AsMethodTwo(patch, standalone);
    if (!method2.isEmpty()) {
        const Applied packed = Apply(oldBytes, method2, standalone);
        QCOMPARE(packed.ok, ok);
        QCOMPARE(packed.records, applied.records);
        if (ok) {
            QCOMPARE(packed.output, output);
            QCOMPARE(packed.patchLeft, size_t{0});
        }
    }
}

void TestByteDiff::methodsOneAndTwoFraming()
{
    // Method 1: three LZMA2 blocks in the order control, diff, extra; method 2: the raw layout
    // inside one block. Both made by hand here, so the creator is not checking itself.
    const QByteArray old("abcdef");
    WriteStream control;
    for (qint32 value : {2, 1, -2, 3, 2, 0}) {
        control.WriteVarint32Signed(value);
    }
    const QByteArray controlBytes = Bytes(control);
    const QByteArray method1 =
        QByteArray("\x01\x08", 2) + Lzma2(controlBytes) + Lzma2(QByteArray(5, '\0')) + Lzma2("XYZ");
    Applied applied = Apply(old, method1 + "rest", false);
    QVERIFY(applied.ok);
    QCOMPARE(applied.output, QByteArray("abXabcYZ"));
    QCOMPARE(applied.patchLeft, size_t{4});

    const QByteArray raw = RawDiff(8, {2, 1, -2, 3, 2, 0}, QByteArray(5, '\0'), "XYZ");
    const QByteArray method2 = QByteArray("\x02\x08", 2) + Lzma2(raw.mid(2));
    applied = Apply(old, method2 + "rest", false);
    QVERIFY(applied.ok);
    QCOMPARE(applied.output, QByteArray("abXabcYZ"));
    QCOMPARE(applied.patchLeft, size_t{4});

    // The payload block as the creator may write it: lengths and control, diff and extra
    // bytes each compressed on its own and joined into one LZMA2 stream.
    const QByteArray head = raw.mid(2, raw.size() - 2 - 5 - 3);
    const QByteArray diff(5, '\0');
    Lzma2Section sections[3];
    sections[0].data = U8(head);
    sections[0].length = static_cast<size_t>(head.size());
    sections[1].data = U8(diff);
    sections[1].length = 5;
    sections[1].options.literal_context = 0;
    sections[1].options.position_bits = 0;
    sections[2].data = reinterpret_cast<const uint8_t *>("XYZ");
    sections[2].length = 3;
    sections[2].options.preset = 0;
    WriteStream block;
    QVERIFY(WriteLzma2BlockSections(sections, 3, &block));
    applied = Apply(old, QByteArray("\x02\x08", 2) + Bytes(block) + "rest", false);
    QVERIFY(applied.ok);
    QCOMPARE(applied.output, QByteArray("abXabcYZ"));
    QCOMPARE(applied.patchLeft, size_t{4});
}

void TestByteDiff::hugeNewSizeAllocatesLittle()
{
    // N = 4 GiB - 1 with a few bytes of blocks: the output is never reserved at N, and the
    // patch fails where its control block runs out.
    const QByteArray patch = RawDiff(0xFFFFFFFFu, {1, 1, 0}, QByteArray(1, '\0'), "X");
    LogCapture log;
    const QByteArray old("abc");
    ReadStream oldStream(U8(old), 3);
    ReadStream patchStream(U8(patch), static_cast<size_t>(patch.size()));
    WriteStream output;
    QVERIFY(!ApplyByteDiff(oldStream, &patchStream, &output, false));
    QCOMPARE(log.records, QStringList{"ERROR Corrupt patch reading control"});
    QVERIFY(output.Capacity() <= 256);
}

void TestByteDiff::damagedPatchesFail_data()
{
    QTest::addColumn<ByteDiffMethod>("method");
    QTest::newRow("method 0") << BYTE_DIFF_RAW;
    QTest::newRow("method 1") << BYTE_DIFF_LZMA2_BLOCKS;
    QTest::newRow("method 2") << BYTE_DIFF_LZMA2_PAYLOAD;
}

void TestByteDiff::damagedPatchesFail()
{
    // Every truncation of a standalone diff fails, and flipped bytes either fail or (where they
    // hit bytes that do not matter) still give the right output; never a crash or a wrong file.
    QFETCH(ByteDiffMethod, method);
    const QByteArray oldBytes = ProgramLike(3000, 31);
    QByteArray newBytes = oldBytes.left(1000) + randomBytes(200, 32) + oldBytes.mid(1100);
    newBytes[2500] = 'q';
    const QByteArray patch = MakeDiff(oldBytes, newBytes, method, true);
    QVERIFY(!patch.isEmpty());
    for (int length = 0; length < patch.size(); ++length) {
        QVERIFY2(!Apply(oldBytes, patch.left(length), true).ok, qPrintable(QString::number(length)));
    }
    QRandomGenerator generator(33);
    for (int round = 0; round < 300; ++round) {
        QByteArray damaged = patch;
        const int at = static_cast<int>(generator.bounded(damaged.size()));
        damaged[at] = static_cast<char>(damaged.at(at) ^ (1 + generator.bounded(255)));
        const Applied applied = Apply(oldBytes, damaged, true);
        if (applied.ok) {
            QVERIFY(applied.output == newBytes);
        }
    }
}

void TestByteDiff::methodTwoAgreesWithMethodZeroOnDamage()
{
    // Method 2 checks the control block before the diff and extra bytes arrive; whatever the
    // damage to the payload (control, lengths, diff or extra bytes), it must reach method 0's
    // verdict, output and record.
    const QByteArray oldBytes = ProgramLike(3000, 41);
    QByteArray newBytes = oldBytes.left(1000) + randomBytes(200, 42) + oldBytes.mid(1100);
    newBytes[2500] = 'q';
    const QByteArray patch = MakeDiff(oldBytes, newBytes, BYTE_DIFF_RAW, false);
    QVERIFY(!patch.isEmpty());
    QRandomGenerator generator(43);
    int failures = 0;
    for (int round = 0; round < 400; ++round) {
        QByteArray damaged = patch;
        for (int flips = 1 + static_cast<int>(generator.bounded(3)); flips > 0; --flips) {
            // Half of the damage goes to the lengths and control triples at the front.
            const int span = generator.bounded(2) == 0 ? std::min(40, damaged.size() - 2) : damaged.size() - 2;
            const int at = 2 + static_cast<int>(generator.bounded(span));
            damaged[at] = static_cast<char>(damaged.at(at) ^ (1 + generator.bounded(255)));
        }
        const Applied raw = Apply(oldBytes, damaged, false);
        const Applied packed = Apply(oldBytes, AsMethodTwo(damaged, false), false);
        QCOMPARE(packed.ok, raw.ok);
        QCOMPARE(packed.records, raw.records);
        if (raw.ok) {
            QVERIFY(packed.output == raw.output);
        } else {
            ++failures;
        }
    }
    QVERIFY2(failures > 100, qPrintable(QString::number(failures))); // the damage reached the checks
}

void TestByteDiff::oldStreamPositionIsTheOrigin()
{
    // Old offsets count from the old stream's position, and the old stream is not advanced.
    const QByteArray old("XXabcdef");
    ReadStream oldStream(U8(old), static_cast<size_t>(old.size()));
    QVERIFY(oldStream.Skip(2));
    const QByteArray patch = RawDiff(3, {3, 0, 0}, QByteArray(3, '\0'), {});
    ReadStream patchStream(U8(patch), static_cast<size_t>(patch.size()));
    WriteStream output;
    QVERIFY(ApplyByteDiff(oldStream, &patchStream, &output, false));
    QCOMPARE(Bytes(output), QByteArray("abc"));
    QCOMPARE(oldStream.Remaining(), size_t{6});
}

void TestByteDiff::tooLargeInputIsRefused()
{
    // The creator refuses what the format cannot describe instead of writing a wrong diff.
    const uint8_t byte = 0;
    WriteStream patch;
    std::string error;
    QVERIFY(!CreateByteDiff(&byte, kMaxByteDiffInput + size_t{1}, &byte, 1, &patch, ByteDiffOptions(), &error));
    QVERIFY(!error.empty());
}

QTEST_GUILESS_MAIN(TestByteDiff)
#include "tst_bytediff.moc"
