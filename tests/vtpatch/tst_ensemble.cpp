// Ensemble patches end to end through ApplyEnsemblePatchToFiles: patches made by the creator
// apply byte for byte (plain files and real executables as elements), and damaged or mismatched
// patches give their status, write nothing and leave the old file alone. The body is applied
// while it is decoded, with the verdicts and records of decoding it whole first.
#include <QtTest>

#include <QRandomGenerator>
#include <QTemporaryDir>

#include <array>
#include <memory>
#include <vector>

#include "create/bytediff_create.h"
#include "create/ensemble_create.h"
#include "create/lzma2_writer.h"
#include "create/program_writer.h"
#include "enginetestutil.h"
#include "lib/bytediff.h"
#include "lib/checksum.h"
#include "lib/encoded_program.h"
#include "lib/ensemble.h"
#include "lib/streams.h"
#include "lib/vtpatch.h"
#include "testpaths.h"

using namespace vtpatch;
using EngineTestUtil::Bytes;
using EngineTestUtil::Checksum;
using EngineTestUtil::ExeFixture;
using EngineTestUtil::LinearSet;
using EngineTestUtil::LogCapture;
using EngineTestUtil::RawDiff;
using EngineTestUtil::U8;
using EngineTestUtil::Varint;
using TestFiles::randomBytes;
using TestFiles::readFile;
using TestFiles::writeFile;

namespace {

QByteArray MakePatch(const QByteArray &oldBytes, const QByteArray &newBytes, bool findElements = true,
                     size_t *elements = nullptr)
{
    EnsembleOptions options;
    options.find_elements = findElements;
    options.keep_smaller = false; // the element path is what these tests are about
    options.preset = 6;
    WriteStream patch;
    std::string error;
    if (!CreateEnsemblePatch(U8(oldBytes), static_cast<size_t>(oldBytes.size()), U8(newBytes),
                             static_cast<size_t>(newBytes.size()), &patch, options, &error, elements))
        qWarning("CreateEnsemblePatch: %s", error.c_str());
    return Bytes(patch);
}

// The linearised predicted parameters of `elements` elements (each an empty nested set).
QByteArray PredictedParameters(int elements)
{
    WriteStreamSet set;
    for (int i = 0; i < elements; ++i) {
        WriteStreamSet none;
        set.WriteSet(&none);
    }
    WriteStream out;
    set.CopyTo(&out);
    return Bytes(out);
}

QByteArray Header(uint32_t sourceChecksum, uint32_t targetChecksum, uint32_t finalSize)
{
    return Varint(kEnsembleMagic) + Varint(kEnsembleVersion) + Varint(sourceChecksum) + Varint(targetChecksum) +
           Varint(finalSize);
}

// A patch assembled field by field, for damaged and hand-made patches.
QByteArray BuildPatch(uint32_t sourceChecksum, uint32_t targetChecksum, uint32_t finalSize, const QByteArray &body)
{
    WriteStream block;
    WriteLzma2Block(U8(body), static_cast<size_t>(body.size()), &block, 0);
    return Header(sourceChecksum, targetChecksum, finalSize) + Bytes(block);
}

// A linearised set holding one nested set with the given streams, as the corrected elements or
// parameters of a one-element patch.
QByteArray OneNestedSet(const std::vector<QByteArray> &streams)
{
    WriteStreamSet nested;
    for (size_t i = 0; i < streams.size(); ++i)
        nested.stream(i).Write(streams[i].constData(), static_cast<size_t>(streams[i].size()));
    WriteStreamSet outer;
    outer.WriteSet(&nested);
    WriteStream out;
    outer.CopyTo(&out);
    return Bytes(out);
}

// A zero-element patch from old to new with the given streams replaced.
QByteArray ZeroElementPatch(const QByteArray &oldBytes, const QByteArray &newBytes, std::vector<QByteArray> streams)
{
    const QByteArray parameters = PredictedParameters(0);
    std::vector<QByteArray> body = {Varint(0), RawDiff(parameters, parameters), RawDiff(parameters, parameters),
                                    RawDiff(oldBytes, newBytes)};
    for (size_t i = 0; i < streams.size() && i < body.size(); ++i) {
        if (!streams[i].isNull())
            body[i] = streams[i];
    }
    if (streams.size() > 4)
        body.insert(body.end(), streams.begin() + 4, streams.end());
    return BuildPatch(Checksum(oldBytes), Checksum(newBytes), static_cast<uint32_t>(oldBytes.size()), LinearSet(body));
}

// Text-like data that compresses and diffs like real files.
QByteArray Structured(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes;
    bytes.reserve(size);
    while (bytes.size() < size)
        bytes += QByteArray("record ") + QByteArray::number(generator.bounded(100000)) + " value " +
                 QByteArray::number(bytes.size()) + '\n';
    bytes.truncate(size);
    return bytes;
}

// The transformed side of a body with one element: the program nested in a set, linearised.
// Empty if writing fails.
QByteArray LinearElementSide(const EncodedProgram &program)
{
    WriteStreamSet side;
    WriteStreamSet nested;
    WriteStream linear;
    if (WriteEncodedProgram(program, &nested) != PATCH_OK || !side.WriteSet(&nested) || !side.CopyTo(&linear))
        return QByteArray();
    return Bytes(linear);
}

// A raw-layout byte diff (method 0) from explicit triples (x, y, z).
QByteArray RawDiffFromTriples(uint32_t newSize, const std::vector<std::array<int32_t, 3>> &triples,
                              const QByteArray &diff, const QByteArray &extra)
{
    WriteStream control;
    for (const auto &triple : triples) {
        for (int32_t value : triple)
            control.WriteVarint32Signed(value);
    }
    return QByteArray(1, char(BYTE_DIFF_RAW)) + Varint(newSize) + Varint(uint32_t(control.Length())) +
           Varint(uint32_t(diff.size())) + Varint(uint32_t(extra.size())) + Bytes(control) + diff + extra;
}

QByteArray Lzma2Block(const QByteArray &bytes)
{
    WriteStream block;
    WriteLzma2Block(U8(bytes), static_cast<size_t>(bytes.size()), &block, 0);
    return Bytes(block);
}

// The same diff with its blocks compressed: method 2 (one block) or 1 (three blocks).
QByteArray NestedDiff(const QByteArray &rawDiff, ByteDiffMethod method)
{
    ReadStream raw(U8(rawDiff), size_t(rawDiff.size()));
    uint8_t rawMethod = 0;
    uint32_t newSize = 0, lengths[3] = {};
    raw.Read(&rawMethod, 1);
    raw.ReadVarint32(&newSize);
    const QByteArray head = QByteArray(1, char(method)) + Varint(newSize);
    const QByteArray payload = rawDiff.right(int(raw.Remaining()));
    if (method == BYTE_DIFF_LZMA2_PAYLOAD)
        return head + Lzma2Block(payload);
    for (uint32_t &length : lengths)
        raw.ReadVarint32(&length);
    QByteArray blocks = head;
    int at = rawDiff.size() - int(raw.Remaining());
    for (uint32_t length : lengths) {
        blocks += Lzma2Block(rawDiff.mid(at, int(length)));
        at += int(length);
    }
    return blocks;
}

} // namespace

class TestEnsemble : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void executablesBecomeElements_data();
    void executablesBecomeElements();
    void zeroElementLayout();
    void statuses_data();
    void statuses();
    void failureWritesNothingAndKeepsOld();
    void newPathInMissingDirectory();
    void replacedFileKeepsItsPermissions();
    void hugeFinalInputPredictionIsHarmless();
    void bodyFaultWinsOverEarlierFailures_data();
    void bodyFaultWinsOverEarlierFailures();
    void finalDiffReadsAcrossOldEnd_data();
    void finalDiffReadsAcrossOldEnd();
    void goldenCorpus_data();
    void goldenCorpus();
};

void TestEnsemble::roundTrip_data()
{
    QTest::addColumn<QByteArray>("oldBytes");
    QTest::addColumn<QByteArray>("newBytes");

    const QByteArray text = Structured(100000, 1);
    QByteArray changed = text;
    changed[5000] = 'X';
    QByteArray inserted = text;
    inserted.insert(40000, randomBytes(3000, 2));
    QByteArray deleted = text;
    deleted.remove(20000, 7000);
    QByteArray wrap(1000, char(0xFF));
    QByteArray wrapNew(1000, char(0x01)); // 0xFF + 0x02 = 0x01 modulo 256

    QTest::newRow("empty new file") << text << QByteArray();
    QTest::newRow("one byte to one byte") << QByteArray("a") << QByteArray("b");
    QTest::newRow("identical") << text << text;
    QTest::newRow("one byte changed") << text << changed;
    QTest::newRow("block inserted") << text << inserted;
    QTest::newRow("block deleted") << text << deleted;
    QTest::newRow("0xFF + 0x02 wraps") << wrap << wrapNew;
    QTest::newRow("unrelated random") << randomBytes(5000, 3) << randomBytes(7000, 4);
    QTest::newRow("sizes around 256") << randomBytes(255, 5) << randomBytes(257, 5);

    // Several MB with scattered edits.
    const QByteArray big = Structured(6 << 20, 7);
    QByteArray bigNew = big;
    QRandomGenerator generator(8);
    for (int i = 0; i < 200; ++i)
        bigNew[generator.bounded(bigNew.size())] = char(generator.bounded(256));
    bigNew.insert(3 << 20, randomBytes(10000, 9));
    QTest::newRow("6 MB, scattered edits") << big << bigNew;
}

void TestEnsemble::roundTrip()
{
    QFETCH(QByteArray, oldBytes);
    QFETCH(QByteArray, newBytes);
    QTemporaryDir dir;
    const QString oldPath = dir.filePath("old"), patchPath = dir.filePath("patch"), newPath = dir.filePath("new");
    const QByteArray patch = MakePatch(oldBytes, newBytes);
    QVERIFY(!patch.isEmpty());
    QVERIFY(writeFile(oldPath, oldBytes));
    QVERIFY(writeFile(patchPath, patch));
    QCOMPARE(ApplyEnsemblePatchToFiles(oldPath.toStdString(), patchPath.toStdString(), newPath.toStdString()),
             int(PATCH_OK));
    QVERIFY(readFile(newPath) == newBytes);
    QVERIFY(readFile(oldPath) == oldBytes);
    if (oldBytes.size() > 1000 && oldBytes == newBytes)
        QVERIFY2(patch.size() < 200, qPrintable(QString::number(patch.size())));
}

void TestEnsemble::executablesBecomeElements_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"elf-x64-pie", "elf-x64", "elf-x86-pie", "elf-arm-pie", "elf-thumb-pie", "pe32", "pe64",
                             "macho-x64", "macho-x86"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestEnsemble::executablesBecomeElements()
{
    QFETCH(QString, name);
    const QString suffix = name.startsWith("pe") ? QStringLiteral(".exe") : QString();
    const QByteArray v1 = ExeFixture(name + "-v1" + suffix), v2 = ExeFixture(name + "-v2" + suffix);
    QVERIFY(!v1.isEmpty() && !v2.isEmpty());
    size_t elements = 0;
    const QByteArray patch = MakePatch(v1, v2, true, &elements);
    QCOMPARE(elements, size_t{1});
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("old"), v1));
    QVERIFY(writeFile(dir.filePath("patch"), patch));
    QCOMPARE(ApplyEnsemblePatchToFiles(dir.filePath("old").toStdString(), dir.filePath("patch").toStdString(),
                                       dir.filePath("new").toStdString()),
             int(PATCH_OK));
    QVERIFY(readFile(dir.filePath("new")) == v2);

    // The element's kind is not compared with what detection finds: any kind 1 to 7 works.
    std::unique_ptr<EncodedProgram> oldProgram, newProgram;
    int kind = 0;
    QCOMPARE(int(EncodeExecutable(U8(v1), size_t(v1.size()), &oldProgram, &kind)), int(PATCH_OK));
    QCOMPARE(int(EncodeExecutable(U8(v2), size_t(v2.size()), &newProgram, &kind)), int(PATCH_OK));
    EnsembleElementPair pair;
    pair.kind = kind == 3 ? 1 : 3;
    pair.old_length = uint32_t(v1.size());
    pair.old_program = oldProgram.get();
    pair.new_program = newProgram.get();
    WriteStream otherKind;
    std::string error;
    QVERIFY(CreateEnsemblePatchWithElements(U8(v1), size_t(v1.size()), U8(v2), size_t(v2.size()), {pair}, &otherKind,
                                            EnsembleOptions(), &error));
    QVERIFY(writeFile(dir.filePath("patch2"), Bytes(otherKind)));
    QCOMPARE(ApplyEnsemblePatchToFiles(dir.filePath("old").toStdString(), dir.filePath("patch2").toStdString(),
                                       dir.filePath("new2").toStdString()),
             int(PATCH_OK));
    QVERIFY(readFile(dir.filePath("new2")) == v2);
}

void TestEnsemble::zeroElementLayout()
{
    // The predicted parameters of a patch without elements linearise to these 15 bytes.
    QCOMPARE(PredictedParameters(0).toHex(), QByteArray("ea9aca090a00000000000000000000"));

    const QByteArray oldBytes = Structured(3000, 11), newBytes = Structured(3100, 12);
    const QByteArray patch = MakePatch(oldBytes, newBytes);
    QCOMPARE(patch.left(8).toHex(), QByteArray("c3ded50388b7cb09"));
    ReadStream stream(U8(patch), size_t(patch.size()));
    EnsembleHeader header;
    QCOMPARE(int(ReadEnsembleHeader(&stream, &header)), int(PATCH_OK));
    QCOMPARE(header.source_checksum, Checksum(oldBytes));
    QCOMPARE(header.target_checksum, Checksum(newBytes));
    QCOMPARE(header.final_input_size, uint32_t(oldBytes.size())); // the final input is the old file alone
    WriteStream body;
    QVERIFY(stream.ReadLzma2Block(&body));
    QVERIFY(stream.IsConsumed());
    ReadStreamSet streams;
    QVERIFY(streams.Parse(body.Data(), body.Length()));
    QCOMPARE(streams.stream(0).Remaining(), size_t{1}); // the element list is the single byte 00
    QCOMPARE(int(*streams.stream(0).Position()), 0);

    // Stream 3 alone is a plain byte diff from the old file to the new one.
    WriteStream result;
    QVERIFY(ApplyByteDiff(ReadStream(U8(oldBytes), size_t(oldBytes.size())), &streams.stream(3), &result, false));
    QVERIFY(Bytes(result) == newBytes);
}

void TestEnsemble::statuses_data()
{
    QTest::addColumn<QByteArray>("oldBytes"); // null: the old file does not exist
    QTest::addColumn<QByteArray>("patch");    // null: the patch file does not exist
    QTest::addColumn<int>("status");

    const QByteArray oldBytes = Structured(4000, 21);
    const QByteArray newBytes = Structured(4200, 22);
    const QByteArray good = MakePatch(oldBytes, newBytes);
    const QByteArray empty("");
    const QByteArray parameters = PredictedParameters(0);
    const QByteArray identity = RawDiff(parameters, parameters);

    QTest::newRow("good patch") << oldBytes << good << int(PATCH_OK);
    QTest::newRow("patch missing") << oldBytes << QByteArray() << int(PATCH_READ_ERROR);
    QTest::newRow("patch empty") << oldBytes << empty << int(PATCH_READ_ERROR);
    QTest::newRow("old missing") << QByteArray() << good << int(PATCH_OLD_FILE_ERROR);
    QTest::newRow("old empty") << empty << good << int(PATCH_OLD_FILE_ERROR);
    QTest::newRow("wrong magic, old missing") << QByteArray() << QByteArray("\x01") + good.mid(4) << int(PATCH_BAD_MAGIC);
    QTest::newRow("magic cut short") << oldBytes << good.left(3) << int(PATCH_BAD_MAGIC);
    QTest::newRow("other version") << oldBytes << good.left(4) + Varint(20110217) + good.mid(8) << int(PATCH_BAD_VERSION);
    QTest::newRow("header ends after version") << oldBytes << good.left(8) << int(PATCH_BAD_HEADER);
    QTest::newRow("header without final size") << oldBytes << good.left(8) + Varint(1) + Varint(2) << int(PATCH_BAD_HEADER);
    QTest::newRow("old file differs") << Structured(4000, 23) << good << int(PATCH_CRC_MISMATCH);
    QTest::newRow("wrong target checksum")
        << oldBytes
        << BuildPatch(Checksum(oldBytes), Checksum(newBytes) ^ 1, 4000,
                      LinearSet({Varint(0), identity, identity, RawDiff(oldBytes, newBytes)}))
        << int(PATCH_CRC_MISMATCH);
    QTest::newRow("body not LZMA2") << oldBytes << Header(Checksum(oldBytes), 0, 0) + QByteArray(50, 'z')
                                    << int(PATCH_STREAM_ERROR);
    QTest::newRow("body missing") << oldBytes << Header(Checksum(oldBytes), 0, 0) << int(PATCH_STREAM_ERROR);
    QTest::newRow("body truncated") << oldBytes << good.left(good.size() - 5) << int(PATCH_STREAM_ERROR);
    QTest::newRow("body is no stream set")
        << oldBytes << BuildPatch(Checksum(oldBytes), 0, 0, QByteArray("not a set")) << int(PATCH_BAD_HEADER);
    QTest::newRow("body of three streams")
        << oldBytes << BuildPatch(Checksum(oldBytes), 0, 0, LinearSet({Varint(0), identity, identity}))
        << int(PATCH_BAD_HEADER);
    QTest::newRow("five streams: the fifth is ignored")
        << oldBytes << ZeroElementPatch(oldBytes, newBytes, {{}, {}, {}, {}, QByteArray("extra")}) << int(PATCH_OK);
    QTest::newRow("element list empty") << oldBytes << ZeroElementPatch(oldBytes, newBytes, {QByteArray("")})
                                        << int(PATCH_BAD_HEADER);
    QTest::newRow("extra byte after element list")
        << oldBytes << ZeroElementPatch(oldBytes, newBytes, {Varint(0) + Varint(0)}) << int(PATCH_BAD_HEADER);
    QTest::newRow("kind 0") << oldBytes << ZeroElementPatch(oldBytes, newBytes, {Varint(1) + Varint(0) + Varint(0) + Varint(0)})
                            << int(PATCH_BAD_HEADER);
    QTest::newRow("kind 8") << oldBytes << ZeroElementPatch(oldBytes, newBytes, {Varint(1) + Varint(8) + Varint(0) + Varint(0)})
                            << int(PATCH_BAD_HEADER);
    QTest::newRow("count beyond the list") << oldBytes << ZeroElementPatch(oldBytes, newBytes, {Varint(0xFFFFFFFF) + Varint(1)})
                                           << int(PATCH_BAD_HEADER);
    QTest::newRow("element range missing") << oldBytes << ZeroElementPatch(oldBytes, newBytes, {Varint(1) + Varint(2)})
                                           << int(PATCH_BAD_ELEMENT);
    QTest::newRow("element offset past old")
        << oldBytes << ZeroElementPatch(oldBytes, newBytes, {Varint(1) + Varint(2) + Varint(4001) + Varint(0)})
        << int(PATCH_BAD_ELEMENT);
    QTest::newRow("element length past old")
        << oldBytes << ZeroElementPatch(oldBytes, newBytes, {Varint(1) + Varint(2) + Varint(100) + Varint(3901)})
        << int(PATCH_BAD_ELEMENT);
    const QByteArray oneElementParameters = RawDiff(PredictedParameters(1), PredictedParameters(1));
    QTest::newRow("element at old end, length 0: not an executable")
        << oldBytes
        << ZeroElementPatch(oldBytes, newBytes, {Varint(1) + Varint(2) + Varint(4000) + Varint(0), oneElementParameters})
        << int(PATCH_NOT_EXECUTABLE);
    QTest::newRow("element of plain text: not an executable")
        << oldBytes
        << ZeroElementPatch(oldBytes, newBytes, {Varint(1) + Varint(7) + Varint(0) + Varint(4000), oneElementParameters})
        << int(PATCH_NOT_EXECUTABLE);
    const QByteArray badElf = EngineTestUtil::ElfWithOversizedSection("elf-x86-pie-v1");
    QTest::newRow("element that does not disassemble")
        << badElf
        << ZeroElementPatch(badElf, newBytes,
                            {Varint(1) + Varint(2) + Varint(0) + Varint(uint32_t(badElf.size())), oneElementParameters})
        << int(PATCH_DISASSEMBLY_ERROR);
    QTest::newRow("parameters given to an element")
        << oldBytes
        << ZeroElementPatch(oldBytes, newBytes,
                            {Varint(1) + Varint(2) + Varint(0) + Varint(0),
                             RawDiff(PredictedParameters(1), OneNestedSet({"x"}))})
        << int(PATCH_DIFF_FAILED);
    QTest::newRow("parameter diff damaged")
        << oldBytes << ZeroElementPatch(oldBytes, newBytes, {{}, QByteArray("\x03")}) << int(PATCH_DIFF_FAILED);
    QTest::newRow("element diff damaged")
        << oldBytes << ZeroElementPatch(oldBytes, newBytes, {{}, {}, QByteArray("")}) << int(PATCH_DIFF_FAILED);
    QTest::newRow("final diff damaged") << oldBytes << ZeroElementPatch(oldBytes, newBytes, {{}, {}, {}, QByteArray("\x00\x05", 2)})
                                        << int(PATCH_DIFF_FAILED);
    QTest::newRow("corrected parameters not a stream set")
        << oldBytes << ZeroElementPatch(oldBytes, newBytes, {{}, RawDiff(parameters, "garbage")}) << int(PATCH_STREAM_ERROR);
    QTest::newRow("corrected parameters left over")
        << oldBytes << ZeroElementPatch(oldBytes, newBytes, {{}, RawDiff(parameters, LinearSet({"x"}))})
        << int(PATCH_STREAM_NOT_CONSUMED);
    QTest::newRow("corrected elements left over")
        << oldBytes << ZeroElementPatch(oldBytes, newBytes, {{}, {}, RawDiff(parameters, LinearSet({"x"}))})
        << int(PATCH_STREAM_NOT_CONSUMED);
    QTest::newRow("corrected elements not a stream set")
        << oldBytes << ZeroElementPatch(oldBytes, newBytes, {{}, {}, RawDiff(parameters, "garbage")})
        << int(PATCH_STREAM_ERROR);
}

void TestEnsemble::statuses()
{
    QFETCH(QByteArray, oldBytes);
    QFETCH(QByteArray, patch);
    QFETCH(int, status);
    QTemporaryDir dir;
    if (!oldBytes.isNull())
        QVERIFY(writeFile(dir.filePath("old"), oldBytes));
    if (!patch.isNull())
        QVERIFY(writeFile(dir.filePath("patch"), patch));
    QCOMPARE(ApplyEnsemblePatchToFiles(dir.filePath("old").toStdString(), dir.filePath("patch").toStdString(),
                                       dir.filePath("new").toStdString()),
             status);
    QCOMPARE(QFile::exists(dir.filePath("new")), status == PATCH_OK);
}

void TestEnsemble::failureWritesNothingAndKeepsOld()
{
    // A patch of an executable whose element programs are damaged: the element is reformed from
    // a stream that holds no valid program (23), or from one whose op is unknown (26).
    const QByteArray v1 = ExeFixture("elf-x86-pie-v1"), v2 = ExeFixture("elf-x86-pie-v2");
    std::unique_ptr<EncodedProgram> oldProgram;
    int kind = 0;
    QCOMPARE(int(EncodeExecutable(U8(v1), size_t(v1.size()), &oldProgram, &kind)), int(PATCH_OK));
    const QByteArray oldLinear = LinearElementSide(*oldProgram);
    QVERIFY(!oldLinear.isEmpty());
    auto patchWithElements = [&](const QByteArray &newElements) {
        return ZeroElementPatch(v1, v2,
                                {Varint(1) + Varint(uint32_t(kind)) + Varint(0) + Varint(uint32_t(v1.size())),
                                 RawDiff(PredictedParameters(1), PredictedParameters(1)),
                                 RawDiff(oldLinear, newElements)});
    };
    const QByteArray zero = Varint(0);
    // An empty program whose stream 8 is not empty: unreadable.
    const QByteArray unreadable = OneNestedSet({zero + zero, zero, zero, zero, zero, zero, zero, zero, "x"});
    // A program with one op of value 9: readable, not assemblable.
    const QByteArray unknownOp = OneNestedSet({zero + zero, Varint(1) + Varint(9), zero, zero, zero, zero, zero, zero});
    const QByteArray garbage = QByteArray("garbage");

    struct Case {
        QByteArray patch;
        int status;
    } cases[] = {{patchWithElements(unreadable), PATCH_READ_PROGRAM_ERROR},
                 {patchWithElements(unknownOp), PATCH_ASSEMBLY_ERROR},
                 {garbage, PATCH_BAD_MAGIC},
                 {MakePatch(v2, v1), PATCH_CRC_MISMATCH}};
    QTemporaryDir dir;
    const QString oldPath = dir.filePath("old"), newPath = dir.filePath("new"), patchPath = dir.filePath("patch");
    QVERIFY(writeFile(oldPath, v1));
    QVERIFY(writeFile(newPath, "previous content"));
    const QDateTime oldTime = QFileInfo(oldPath).lastModified();
    for (const Case &c : cases) {
        QVERIFY(writeFile(patchPath, c.patch));
        QCOMPARE(ApplyEnsemblePatchToFiles(oldPath.toStdString(), patchPath.toStdString(), newPath.toStdString()),
                 c.status);
        QCOMPARE(readFile(newPath), QByteArray("previous content"));
        QVERIFY(readFile(oldPath) == v1);
        QCOMPARE(QFileInfo(oldPath).lastModified(), oldTime);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 3); // no temporary files left
    }
}

void TestEnsemble::newPathInMissingDirectory()
{
    QTemporaryDir dir;
    const QByteArray oldBytes = Structured(1000, 31), newBytes = Structured(1100, 32);
    QVERIFY(writeFile(dir.filePath("old"), oldBytes));
    QVERIFY(writeFile(dir.filePath("patch"), MakePatch(oldBytes, newBytes)));
    QCOMPARE(ApplyEnsemblePatchToFiles(dir.filePath("old").toStdString(), dir.filePath("patch").toStdString(),
                                       dir.filePath("missing/new").toStdString()),
             int(PATCH_OLD_FILE_ERROR));
}

void TestEnsemble::replacedFileKeepsItsPermissions()
{
    QTemporaryDir dir;
    const QByteArray oldBytes = Structured(1000, 33), newBytes = Structured(1200, 34);
    const QString newPath = dir.filePath("new");
    QVERIFY(writeFile(dir.filePath("old"), oldBytes));
    QVERIFY(writeFile(dir.filePath("patch"), MakePatch(oldBytes, newBytes)));
    QVERIFY(writeFile(newPath, "an older program"));
    const QFile::Permissions executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser |
                                          QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup;
    QVERIFY(QFile::setPermissions(newPath, executable));
    QCOMPARE(ApplyEnsemblePatchToFiles(dir.filePath("old").toStdString(), dir.filePath("patch").toStdString(),
                                       newPath.toStdString()),
             int(PATCH_OK));
    QVERIFY(readFile(newPath) == newBytes);
    QCOMPARE(QFile::permissions(newPath), executable);
}

void TestEnsemble::hugeFinalInputPredictionIsHarmless()
{
    // The header's final-input size only sizes a buffer; a lie of 4 GiB must neither fail nor
    // allocate it (ASan would report the request).
    const QByteArray oldBytes = Structured(2000, 41), newBytes = Structured(2100, 42);
    const QByteArray parameters = PredictedParameters(0);
    const QByteArray identity = RawDiff(parameters, parameters);
    const QByteArray patch = BuildPatch(Checksum(oldBytes), Checksum(newBytes), 0xFFFFFFFFu,
                                        LinearSet({Varint(0), identity, identity, RawDiff(oldBytes, newBytes)}));
    WriteStream result;
    ReadStream patchStream(U8(patch), size_t(patch.size()));
    QCOMPARE(int(ApplyEnsemblePatch(ReadStream(U8(oldBytes), size_t(oldBytes.size())), &patchStream, &result)),
             int(PATCH_OK));
    QVERIFY(Bytes(result) == newBytes);
}

void TestEnsemble::bodyFaultWinsOverEarlierFailures_data()
{
    QTest::addColumn<QByteArray>("oldBytes");
    QTest::addColumn<QByteArray>("body");  // the decoded body
    QTest::addColumn<int>("statusIntact"); // what the body gives while its LZMA2 data is sound
    QTest::addColumn<QString>("recordIntact");
    QTest::addColumn<int>("damage"); // index into `damages` below

    const QByteArray oldBytes = Structured(20000, 51), newBytes = Structured(21000, 52);
    const QByteArray parameters = PredictedParameters(0);
    const QByteArray identity = RawDiff(parameters, parameters);
    const QByteArray finalDiff = RawDiff(oldBytes, newBytes);
    struct Row {
        const char *name;
        QByteArray body;
        int status;
        const char *record;
    } rows[] = {
        {"extra byte after element list", LinearSet({Varint(0) + Varint(0), identity, identity, finalDiff}),
         PATCH_BAD_HEADER, ""},
        {"element range past old", LinearSet({Varint(1) + Varint(2) + Varint(20001) + Varint(0), identity, identity,
                                              finalDiff}),
         PATCH_BAD_ELEMENT, ""},
        {"parameter diff longer than its control", LinearSet({Varint(0), RawDiffFromTriples(15, {{0, 1, 0}}, "", "x"),
                                                            identity, finalDiff}),
         PATCH_DIFF_FAILED, "ERROR Corrupt patch reading control"},
        {"final diff makes too much", LinearSet({Varint(0), identity, identity,
                                                 RawDiffFromTriples(10, {{0, 11, 0}}, "", QByteArray(11, 'x'))}),
         PATCH_DIFF_FAILED, "ERROR Corrupt patch"},
        {"no stream set", QByteArray(3000, 'z'), PATCH_BAD_HEADER, ""},
    };
    const char *damages[] = {"end marker cut off", "stated length too long", "stated length too short",
                             "cut in the first chunk header"};
    for (const Row &row : rows) {
        for (int damage = 0; damage < 4; ++damage)
            QTest::addRow("%s, %s", row.name, damages[damage])
                << oldBytes << row.body << row.status << QString::fromLatin1(row.record) << damage;
    }
}

void TestEnsemble::bodyFaultWinsOverEarlierFailures()
{
    // The body is applied while it is decoded, but a fault of its LZMA2 data after a failure of
    // an earlier step must still be what is reported, alone, as when the body is decoded whole
    // before it is looked at.
    QFETCH(QByteArray, oldBytes);
    QFETCH(QByteArray, body);
    QFETCH(int, statusIntact);
    QFETCH(QString, recordIntact);
    QFETCH(int, damage);

    const QByteArray header = Header(Checksum(oldBytes), 0, uint32_t(oldBytes.size()));
    const QByteArray block = Lzma2Block(body);
    const ReadStream old(U8(oldBytes), size_t(oldBytes.size()));
    auto apply = [&](const QByteArray &patch, QStringList *records) {
        LogCapture log;
        WriteStream result;
        ReadStream stream(U8(patch), size_t(patch.size()));
        const int status = ApplyEnsemblePatch(old, &stream, &result);
        *records = log.records;
        return status;
    };
    QStringList records;
    QCOMPARE(apply(header + block, &records), statusIntact);
    QCOMPARE(records, recordIntact.isEmpty() ? QStringList() : QStringList{recordIntact});

    // The damage, in the block's tail or its stated length.
    const int lengthBytes = Varint(uint32_t(body.size())).size();
    QByteArray damaged;
    if (damage == 0)
        damaged = block.left(block.size() - 1);
    else if (damage == 3)
        damaged = block.left(1 + lengthBytes + 2);
    else
        damaged = block.left(1) + Varint(uint32_t(body.size() + (damage == 1 ? 1 : -1))) + block.mid(1 + lengthBytes);
    QStringList expected;
    {
        LogCapture log;
        WriteStream whole;
        ReadStream stream(U8(damaged), size_t(damaged.size()));
        QVERIFY(!stream.ReadLzma2Block(&whole));
        expected = log.records;
    }
    QCOMPARE(expected.size(), 1);
    QCOMPARE(apply(header + damaged, &records), int(PATCH_STREAM_ERROR));
    QCOMPARE(records, expected);
}

void TestEnsemble::finalDiffReadsAcrossOldEnd_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<bool>("pastEnd");
    QTest::newRow("raw final diff") << int(BYTE_DIFF_RAW) << false;
    QTest::newRow("final diff in one LZMA2 block") << int(BYTE_DIFF_LZMA2_PAYLOAD) << false;
    QTest::newRow("final diff in three LZMA2 blocks") << int(BYTE_DIFF_LZMA2_BLOCKS) << false;
    QTest::newRow("raw final diff, past the elements") << int(BYTE_DIFF_RAW) << true;
    QTest::newRow("nested final diff, past the elements") << int(BYTE_DIFF_LZMA2_PAYLOAD) << true;
}

void TestEnsemble::finalDiffReadsAcrossOldEnd()
{
    // The final diff reads the old file and the assembled new elements as one input, though
    // they are held apart: a triple may run from the one into the other, but not past both.
    QFETCH(int, method);
    QFETCH(bool, pastEnd);
    const QByteArray v1 = ExeFixture("elf-x86-pie-v1");
    std::unique_ptr<EncodedProgram> program;
    int kind = 0;
    QCOMPARE(int(EncodeExecutable(U8(v1), size_t(v1.size()), &program, &kind)), int(PATCH_OK));
    const QByteArray elementLinear = LinearElementSide(*program);
    QVERIFY(!elementLinear.isEmpty());
    WriteStream assembledStream;
    QCOMPARE(int(AssembleEncodedProgram(program.get(), &assembledStream)), int(PATCH_OK));
    const QByteArray assembled = Bytes(assembledStream);
    QVERIFY(assembled.size() > 100);

    // Copy 100 bytes each side of the old file's end, each plus 1; with pastEnd, the last 100
    // bytes of the elements and one more.
    const int32_t oldLength = v1.size(), finalLength = oldLength + assembled.size();
    const int32_t start = pastEnd ? finalLength - 100 : oldLength - 100;
    const int32_t length = pastEnd ? 101 : 200;
    const QByteArray finalDiff =
        RawDiffFromTriples(uint32_t(length), {{0, 0, start}, {length, 0, 0}}, QByteArray(length, '\x01'), "");
    QByteArray expected = (v1 + assembled).mid(start, length);
    for (char &byte : expected)
        byte = char(byte + 1);

    const QByteArray finalStream = method == BYTE_DIFF_RAW ? finalDiff : NestedDiff(finalDiff, ByteDiffMethod(method));
    const QByteArray body = LinearSet({Varint(1) + Varint(uint32_t(kind)) + Varint(0) + Varint(uint32_t(oldLength)),
                                       RawDiff(PredictedParameters(1), PredictedParameters(1)),
                                       RawDiff(elementLinear, elementLinear), finalStream});
    const QByteArray patch = BuildPatch(Checksum(v1), Checksum(expected), uint32_t(finalLength), body);
    LogCapture log;
    WriteStream result;
    ReadStream stream(U8(patch), size_t(patch.size()));
    const int status = ApplyEnsemblePatch(ReadStream(U8(v1), size_t(v1.size())), &stream, &result);
    if (pastEnd) {
        QCOMPARE(status, int(PATCH_DIFF_FAILED));
        QVERIFY2(log.records.isEmpty(), qPrintable(log.records.join('\n'))); // an old range outside: no record
    } else {
        QCOMPARE(status, int(PATCH_OK));
        QVERIFY(Bytes(result) == expected);
    }
}

void TestEnsemble::goldenCorpus_data()
{
    QTest::addColumn<QString>("oldFile");
    QTest::addColumn<QString>("patchFile");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("newFile");
    QTest::newRow("text") << "vtpatch/good-text.old" << "good-text.patch" << int(PATCH_OK) << "vtpatch/good-text.new";
    QTest::newRow("ELF x86 element") << "exe/elf-x86-pie-v1" << "good-elf-x86-pie.patch" << int(PATCH_OK)
                                     << "exe/elf-x86-pie-v2";
    QTest::newRow("ELF ARM element") << "exe/elf-arm-pie-v1" << "good-elf-arm-pie.patch" << int(PATCH_OK)
                                     << "exe/elf-arm-pie-v2";
    QTest::newRow("PE32 element") << "exe/pe32-v1.exe" << "good-pe32.patch" << int(PATCH_OK) << "exe/pe32-v2.exe";
    QTest::newRow("wrong old file") << "vtpatch/good-text.new" << "good-text.patch" << int(PATCH_CRC_MISMATCH) << "";
    QTest::newRow("bad magic") << "vtpatch/good-text.old" << "bad-magic.patch" << int(PATCH_BAD_MAGIC) << "";
    QTest::newRow("bad version") << "vtpatch/good-text.old" << "bad-version.patch" << int(PATCH_BAD_VERSION) << "";
    QTest::newRow("truncated") << "vtpatch/good-text.old" << "bad-truncated.patch" << int(PATCH_STREAM_ERROR) << "";
}

void TestEnsemble::goldenCorpus()
{
    QFETCH(QString, oldFile);
    QFETCH(QString, patchFile);
    QFETCH(int, status);
    QFETCH(QString, newFile);
    QTemporaryDir dir;
    const QString output = dir.filePath("new");
    QCOMPARE(ApplyEnsemblePatchToFiles(TestPaths::dataFile(oldFile).toStdString(),
                                       TestPaths::dataFile("vtpatch/" + patchFile).toStdString(), output.toStdString()),
             status);
    if (status == PATCH_OK)
        QVERIFY(readFile(output) == readFile(TestPaths::dataFile(newFile)));
    else
        QVERIFY(!QFile::exists(output));
}

QTEST_APPLESS_MAIN(TestEnsemble)
#include "tst_ensemble.moc"
