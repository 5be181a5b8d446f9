// The creator's numbering of the new program's labels after the old program's: for every
// fixture pair the patch made with aligned labels applies to the exact new bytes, and more
// references keep the label numbers they had in the old program than with address-order
// numbering. (Sizes are printed; on these tiny programs they are within a few bytes either way.)
#include <QtTest>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "create/ensemble_create.h"
#include "create/label_alignment.h"
#include "create/program_writer.h"
#include "disassembly_helpers.h"
#include "enginetestutil.h"
#include "lib/disassembler.h"
#include "lib/encoded_program.h"
#include "lib/ensemble.h"
#include "lib/labeled_program.h"
#include "lib/streams.h"
#include "testpaths.h"

using namespace vtpatch;
using namespace disassembly_test;
using EngineTestUtil::ExeFixture;

namespace {

// Makes a one-element patch from old to new with the given new program; returns its size, or -1.
qint64 MakePatch(const QByteArray &oldBytes, const QByteArray &newBytes, const EncodedProgram &oldProgram,
                 EncodedProgram *newProgram, int kind, QByteArray *patchBytes)
{
    EnsembleElementPair pair;
    pair.kind = kind;
    pair.old_offset = 0;
    pair.old_length = uint32_t(oldBytes.size());
    pair.old_program = &oldProgram;
    pair.new_program = newProgram;
    WriteStream patch;
    std::string error;
    if (!CreateEnsemblePatchWithElements(Data(oldBytes), size_t(oldBytes.size()), Data(newBytes),
                                         size_t(newBytes.size()), {pair}, &patch, EnsembleOptions(), &error))
        return -1;
    *patchBytes = QByteArray(reinterpret_cast<const char *>(patch.Data()), int(patch.Length()));
    return patchBytes->size();
}

QByteArray Apply(const QByteArray &oldBytes, const QByteArray &patchBytes, PatchStatus *status)
{
    ReadStream old(Data(oldBytes), size_t(oldBytes.size()));
    ReadStream patch(Data(patchBytes), size_t(patchBytes.size()));
    WriteStream out;
    *status = ApplyEnsemblePatch(old, &patch, &out);
    return QByteArray(reinterpret_cast<const char *>(out.Data()), int(out.Length()));
}

std::vector<uint32_t> Values(const U32Vector &v)
{
    return std::vector<uint32_t>(v.data(), v.data() + v.size());
}

// The longest common subsequence of two label number sequences: how many references of the
// new program keep, in order, the number they had in the old one.
int Common(const U32Vector &a, const U32Vector &b)
{
    std::vector<int> row(b.size() + 1, 0), previous(b.size() + 1, 0);
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j)
            row[j] = a[i - 1] == b[j - 1] ? previous[j - 1] + 1 : std::max(previous[j], row[j - 1]);
        std::swap(row, previous);
    }
    return previous[b.size()];
}

int SameNumbers(const EncodedProgram &a, const EncodedProgram &b)
{
    return Common(a.rel32_ix(), b.rel32_ix()) + Common(a.abs32_ix(), b.abs32_ix());
}

} // namespace

class TestLabelAlignment : public QObject {
    Q_OBJECT

private slots:
    void fixturePairs_data();
    void fixturePairs();
    void unchangedProgramKeepsItsNumbers();
};

void TestLabelAlignment::fixturePairs_data()
{
    QTest::addColumn<QString>("oldName");
    QTest::addColumn<QString>("newName");
    for (const char *base :
         {"elf-x64-pie", "elf-x64", "elf-x86-pie", "elf-arm-pie", "elf-thumb-pie", "macho-x86", "macho-x64"})
        QTest::newRow(base) << QStringLiteral("%1-v1").arg(QLatin1String(base))
                            << QStringLiteral("%1-v2").arg(QLatin1String(base));
    QTest::newRow("pe32") << "pe32-v1.exe"
                          << "pe32-v2.exe";
    QTest::newRow("pe64") << "pe64-v1.exe"
                          << "pe64-v2.exe";
}

void TestLabelAlignment::fixturePairs()
{
    QFETCH(QString, oldName);
    QFETCH(QString, newName);
    const QByteArray oldBytes = ExeFixture(oldName);
    const QByteArray newBytes = ExeFixture(newName);
    QVERIFY(!oldBytes.isEmpty() && !newBytes.isEmpty());

    std::unique_ptr<EncodedProgram> oldProgram, plainNew, alignedNew;
    int oldKind = 0, plainKind = 0, alignedKind = 0;
    QCOMPARE(EncodeExecutable(Data(oldBytes), size_t(oldBytes.size()), &oldProgram, &oldKind), PATCH_OK);
    QCOMPARE(EncodeExecutable(Data(newBytes), size_t(newBytes.size()), &plainNew, &plainKind), PATCH_OK);
    QCOMPARE(EncodeAlignedExecutable(Data(oldBytes), size_t(oldBytes.size()), Data(newBytes), size_t(newBytes.size()),
                                     &alignedNew, &alignedKind),
             PATCH_OK);
    QCOMPARE(alignedKind, oldKind);

    QByteArray plainPatch, alignedPatch;
    const qint64 plainSize = MakePatch(oldBytes, newBytes, *oldProgram, plainNew.get(), oldKind, &plainPatch);
    const qint64 alignedSize = MakePatch(oldBytes, newBytes, *oldProgram, alignedNew.get(), oldKind, &alignedPatch);
    QVERIFY(plainSize > 0 && alignedSize > 0);
    PatchStatus status = PATCH_OK;
    QCOMPARE(Apply(oldBytes, alignedPatch, &status), newBytes);
    QCOMPARE(status, PATCH_OK);
    qInfo("%s: %lld bytes with aligned labels, %lld in address order", qPrintable(oldName), alignedSize, plainSize);
    QVERIFY(SameNumbers(*oldProgram, *alignedNew) >= SameNumbers(*oldProgram, *plainNew));
    // The plain numbering applies too (it is what an applier would compute itself).
    QCOMPARE(Apply(oldBytes, plainPatch, &status), newBytes);
}

void TestLabelAlignment::unchangedProgramKeepsItsNumbers()
{
    // Aligning a program to itself must reproduce the applier's numbering exactly.
    const QByteArray bytes = ExeFixture(QStringLiteral("pe32-v2.exe"));
    std::unique_ptr<EncodedProgram> plain, aligned;
    int kind = 0;
    QCOMPARE(EncodeExecutable(Data(bytes), size_t(bytes.size()), &plain, &kind), PATCH_OK);
    QCOMPARE(
        EncodeAlignedExecutable(Data(bytes), size_t(bytes.size()), Data(bytes), size_t(bytes.size()), &aligned, &kind),
        PATCH_OK);
    QCOMPARE(Values(aligned->rel32_ix()), Values(plain->rel32_ix()));
    QCOMPARE(Values(aligned->abs32_ix()), Values(plain->abs32_ix()));
    QCOMPARE(Values(aligned->rel32_rvas()), Values(plain->rel32_rvas()));
    QCOMPARE(Values(aligned->abs32_rvas()), Values(plain->abs32_rvas()));
}

QTEST_APPLESS_MAIN(TestLabelAlignment)
#include "tst_label_alignment.moc"
