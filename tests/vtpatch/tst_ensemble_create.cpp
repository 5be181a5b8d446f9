// The patch creator's choice among its candidates: for whole executables and for a bundle of
// several executables and data, the patch written is the smallest of the plain patch, the
// elements with address-order numbering and the elements with aligned labels (each made here
// on its own), it says truthfully which one it is, and it applies to the exact new bytes.
#include <QtTest>

#include <algorithm>
#include <string>
#include <vector>

#include "create/element_finder.h"
#include "create/ensemble_create.h"
#include "enginetestutil.h"
#include "lib/ensemble.h"
#include "lib/streams.h"
#include "testpaths.h"

using namespace vtpatch;
using EngineTestUtil::ExeFixture;
using EngineTestUtil::Filler;

namespace {

const uint8_t *Data(const QByteArray &bytes)
{
    return reinterpret_cast<const uint8_t *>(bytes.constData());
}

// An installer-like file: data, then five executables of four kinds, data between them.
QByteArray Bundle(const QString &v)
{
    return Filler(300, 'a') + ExeFixture("elf-x86-pie-" + v) + Filler(37, 'q') + ExeFixture("pe64-" + v + ".exe") +
           ExeFixture("macho-x86-" + v) + Filler(1000, 'k') + ExeFixture("elf-x64-pie-" + v) +
           ExeFixture("elf-thumb-pie-" + v) + Filler(50, 'z');
}

// "bundle-v1", or a fixture name.
QByteArray Input(const QString &name)
{
    return name.startsWith(QLatin1String("bundle-")) ? Bundle(name.mid(7)) : ExeFixture(name);
}

QByteArray Apply(const QByteArray &oldBytes, const WriteStream &patch, PatchStatus *status)
{
    ReadStream old(Data(oldBytes), size_t(oldBytes.size()));
    ReadStream patchStream(patch.Data(), patch.Length());
    WriteStream out;
    *status = ApplyEnsemblePatch(old, &patchStream, &out);
    return QByteArray(reinterpret_cast<const char *>(out.Data()), int(out.Length()));
}

// The size of the patch with every found pair as an element and the new labels aligned, made
// step by step as a publisher could; -1 when it cannot be made.
qint64 AlignedOnlySize(const QByteArray &oldBytes, const QByteArray &newBytes)
{
    WriteStream patch;
    size_t elements = 0;
    std::string error;
    return EngineTestUtil::AlignedElementsPatch(oldBytes, newBytes, &patch, &elements, &error) ? qint64(patch.Length())
                                                                                             : -1;
}

} // namespace

class TestEnsembleCreate : public QObject {
    Q_OBJECT

private slots:
    void smallestCandidateIsWritten_data();
    void smallestCandidateIsWritten();
    void elementsOnly_data();
    void elementsOnly();
};

void TestEnsembleCreate::smallestCandidateIsWritten_data()
{
    QTest::addColumn<QString>("oldName");
    QTest::addColumn<QString>("newName");
    QTest::addColumn<int>("elementsFound");

    const char *const kinds[] = {"elf-x64-pie", "elf-x64", "elf-x86-pie", "elf-arm-pie", "elf-thumb-pie",
                                 "macho-x64",   "macho-x86"};
    for (const char *kind : kinds) {
        const QString name = QLatin1String(kind);
        QTest::newRow(kind) << name + "-v1" << name + "-v2" << 1;
        QTest::newRow(qPrintable(name + ", v2 to v1")) << name + "-v2" << name + "-v1" << 1;
    }
    QTest::newRow("pe32") << "pe32-v1.exe" << "pe32-v2.exe" << 1;
    QTest::newRow("pe32, v2 to v1") << "pe32-v2.exe" << "pe32-v1.exe" << 1;
    QTest::newRow("pe64") << "pe64-v1.exe" << "pe64-v2.exe" << 1;
    QTest::newRow("bundle") << "bundle-v1" << "bundle-v2" << 5;
    QTest::newRow("bundle, v2 to v1") << "bundle-v2" << "bundle-v1" << 5;
    // Kinds are paired in file order: the PE has no partner in the old file.
    QTest::newRow("executable into a bundle") << "elf-x86-pie-v1" << "bundle-v2" << 1;
}

void TestEnsembleCreate::smallestCandidateIsWritten()
{
    QFETCH(QString, oldName);
    QFETCH(QString, newName);
    QFETCH(int, elementsFound);
    const QByteArray oldBytes = Input(oldName);
    const QByteArray newBytes = Input(newName);
    QVERIFY(!oldBytes.isEmpty() && !newBytes.isEmpty());

    WriteStream patch;
    std::string error;
    EnsembleChoice choice;
    QVERIFY2(CreateEnsemblePatch(Data(oldBytes), size_t(oldBytes.size()), Data(newBytes), size_t(newBytes.size()),
                                 &patch, EnsembleOptions(), &error, nullptr, &choice),
             error.c_str());
    PatchStatus status = PATCH_OK;
    QCOMPARE(Apply(oldBytes, patch, &status), newBytes);
    QCOMPARE(status, PATCH_OK);

    // The three candidates, each on its own.
    EnsembleOptions plainOptions;
    plainOptions.find_elements = false;
    EnsembleOptions addressOrderOptions;
    addressOrderOptions.keep_smaller = false;
    addressOrderOptions.align_labels = false;
    WriteStream plain, addressOrder;
    QVERIFY(CreateEnsemblePatch(Data(oldBytes), size_t(oldBytes.size()), Data(newBytes), size_t(newBytes.size()),
                                &plain, plainOptions, &error));
    size_t found = 0;
    QVERIFY(CreateEnsemblePatch(Data(oldBytes), size_t(oldBytes.size()), Data(newBytes), size_t(newBytes.size()),
                                &addressOrder, addressOrderOptions, &error, &found));
    QCOMPARE(found, size_t(elementsFound));
    const qint64 aligned = AlignedOnlySize(oldBytes, newBytes);
    QVERIFY(aligned > 0);
    const qint64 smallest = std::min({qint64(plain.Length()), qint64(addressOrder.Length()), aligned});
    qInfo("plain %zu, address order %zu, aligned %lld: wrote %zu (%zu elements%s, %zu candidates)", plain.Length(),
          addressOrder.Length(), aligned, patch.Length(), choice.element_count,
          choice.aligned_labels ? ", aligned" : "", choice.candidates);

    QCOMPARE(qint64(patch.Length()), smallest);
    QVERIFY(choice.candidates == 2 || choice.candidates == 3); // 2 when both numberings agree
    if (choice.element_count == 0) {
        QCOMPARE(patch.Length(), plain.Length());
        QVERIFY(!choice.aligned_labels);
    } else {
        QCOMPARE(choice.element_count, size_t(elementsFound));
        // Ties go to the cheaper candidate made first.
        QVERIFY(patch.Length() < plain.Length());
        QCOMPARE(choice.aligned_labels, aligned < qint64(addressOrder.Length()));
    }
}

void TestEnsembleCreate::elementsOnly_data()
{
    QTest::addColumn<QString>("oldName");
    QTest::addColumn<QString>("newName");
    QTest::addColumn<int>("elements");
    QTest::newRow("whole executable") << "pe32-v1.exe" << "pe32-v2.exe" << 1;
    QTest::newRow("bundle") << "bundle-v1" << "bundle-v2" << 5;
    QTest::newRow("no executables") << "README.md" << "build.sh" << 0;
}

void TestEnsembleCreate::elementsOnly()
{
    QFETCH(QString, oldName);
    QFETCH(QString, newName);
    QFETCH(int, elements);
    const QByteArray oldBytes = Input(oldName);
    const QByteArray newBytes = Input(newName);
    EnsembleOptions options;
    options.keep_smaller = false;
    WriteStream patch;
    std::string error;
    EnsembleChoice choice;
    QVERIFY2(CreateEnsemblePatch(Data(oldBytes), size_t(oldBytes.size()), Data(newBytes), size_t(newBytes.size()),
                                 &patch, options, &error, nullptr, &choice),
             error.c_str());
    QCOMPARE(choice.element_count, size_t(elements));
    PatchStatus status = PATCH_OK;
    QCOMPARE(Apply(oldBytes, patch, &status), newBytes);
    QCOMPARE(status, PATCH_OK);
}

QTEST_APPLESS_MAIN(TestEnsembleCreate)
#include "tst_ensemble_create.moc"
