// Finding executables inside files for the patch creator: a whole executable is one element,
// images embedded in other bytes are found at their offsets with the length their headers
// cover, and an ensemble patch built from the found and paired elements (with aligned labels)
// turns the old file into exactly the new one.
#include <QtTest>

#include <string>
#include <vector>

#include "create/element_finder.h"
#include "create/ensemble_create.h"
#include "disassembly_helpers.h"
#include "enginetestutil.h"
#include "lib/ensemble.h"
#include "lib/streams.h"
#include "testpaths.h"

using namespace vtpatch;
using namespace disassembly_test;
using EngineTestUtil::ExeFixture;
using EngineTestUtil::Filler;

namespace {

// An archive-like file: filler, an x86 ELF, filler, a PE32+, a Mach-O x86, filler.
QByteArray Bundle(const char *version)
{
    const QString v = QLatin1String(version);
    return Filler(100, 'a') + ExeFixture("elf-x86-pie-" + v) + Filler(37, 'q') + ExeFixture("pe64-" + v + ".exe") +
           ExeFixture("macho-x86-" + v) + Filler(50, 'z');
}

} // namespace

class TestElementFinder : public QObject {
    Q_OBJECT

private slots:
    void wholeExecutableIsOneElement();
    void embeddedExecutablesAreFound();
    void plainDataHasNone();
    void executableWithMoreBehindIt();
    void pairingKeepsOrderAndKind();
    void bundlePatchApplies();
};

void TestElementFinder::wholeExecutableIsOneElement()
{
    const QByteArray image = ExeFixture(QStringLiteral("macho-x64-v1"));
    const std::vector<ExecutableElement> found = FindExecutables(Data(image), size_t(image.size()));
    QCOMPARE(found.size(), size_t(1));
    QCOMPARE(found[0].kind, int(MACHO_X64));
    QCOMPARE(found[0].offset, 0u);
    QCOMPARE(found[0].length, uint32_t(image.size())); // the whole file, trailing segment included
}

void TestElementFinder::embeddedExecutablesAreFound()
{
    const QByteArray bundle = Bundle("v1");
    const int elf = ExeFixture(QStringLiteral("elf-x86-pie-v1")).size();
    const int pe = ExeFixture(QStringLiteral("pe64-v1.exe")).size();
    const int macho = ExeFixture(QStringLiteral("macho-x86-v1")).size();
    const std::vector<ExecutableElement> found = FindExecutables(Data(bundle), size_t(bundle.size()));
    QCOMPARE(found.size(), size_t(3));
    QCOMPARE(found[0].kind, int(EXE_ELF_32_X86));
    QCOMPARE(found[0].offset, 100u);
    QCOMPARE(found[0].length, uint32_t(elf));
    QCOMPARE(found[1].kind, int(WIN_32_X64));
    QCOMPARE(found[1].offset, uint32_t(100 + elf + 37));
    QCOMPARE(found[1].length, uint32_t(pe));
    QCOMPARE(found[2].kind, int(MACHO_X86));
    QCOMPARE(found[2].offset, uint32_t(100 + elf + 37 + pe));
    QCOMPARE(found[2].length, uint32_t(macho));
}

void TestElementFinder::plainDataHasNone()
{
    QByteArray bytes = Filler(4096, 'M');
    bytes.replace(10, 4,
                  "\x7F"
                  "ELF"); // a signature without a valid header behind it
    bytes.replace(200, 2, "MZ");
    QVERIFY(FindExecutables(Data(bytes), size_t(bytes.size())).empty());
    QVERIFY(FindExecutables(nullptr, 0).empty());
}

void TestElementFinder::executableWithMoreBehindIt()
{
    // Detection accepts the whole file as the first executable (trailing bytes are allowed), but
    // the second executable must not vanish inside it.
    const QByteArray first = ExeFixture(QStringLiteral("elf-x64-v1"));
    const QByteArray second = ExeFixture(QStringLiteral("pe32-v1.exe"));
    const QByteArray file = first + second;
    const std::vector<ExecutableElement> found = FindExecutables(Data(file), size_t(file.size()));
    QCOMPARE(found.size(), size_t(2));
    QCOMPARE(found[0].kind, int(ELF_64_X64));
    QCOMPARE(found[0].offset, 0u);
    QCOMPARE(found[0].length, uint32_t(first.size()));
    QCOMPARE(found[1].kind, int(WIN_32_X86));
    QCOMPARE(found[1].offset, uint32_t(first.size()));
    QCOMPARE(found[1].length, uint32_t(second.size()));
}

void TestElementFinder::pairingKeepsOrderAndKind()
{
    const std::vector<ExecutableElement> oldElements = {{2, 0, 10}, {4, 10, 10}, {2, 20, 10}, {7, 30, 10}};
    const std::vector<ExecutableElement> newElements = {{4, 0, 10}, {2, 10, 10}, {2, 20, 10}, {6, 30, 10}};
    const std::vector<std::pair<size_t, size_t>> expected = {{0, 1}, {2, 2}};
    // The PE (old 1) would have to go backwards to pair with new 0; the Mach-O kinds differ.
    QCOMPARE(PairElements(oldElements, newElements), expected);
}

void TestElementFinder::bundlePatchApplies()
{
    const QByteArray oldBundle = Bundle("v1");
    const QByteArray newBundle = Bundle("v2");
    const std::vector<ExecutableElement> oldElements = FindExecutables(Data(oldBundle), size_t(oldBundle.size()));
    const std::vector<ExecutableElement> newElements = FindExecutables(Data(newBundle), size_t(newBundle.size()));
    QCOMPARE(PairElements(oldElements, newElements).size(), size_t(3));

    WriteStream patch;
    size_t elements = 0;
    std::string error;
    QVERIFY2(EngineTestUtil::AlignedElementsPatch(oldBundle, newBundle, &patch, &elements, &error), error.c_str());
    QCOMPARE(elements, size_t(3));
    ReadStream oldStream(Data(oldBundle), size_t(oldBundle.size()));
    ReadStream patchStream(patch.Data(), patch.Length());
    WriteStream out;
    QCOMPARE(ApplyEnsemblePatch(oldStream, &patchStream, &out), PATCH_OK);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(out.Data()), int(out.Length())), newBundle);
    qInfo("bundle of %d bytes: patch of %zu bytes with %zu elements", newBundle.size(), patch.Length(), elements);
}

QTEST_APPLESS_MAIN(TestElementFinder)
#include "tst_element_finder.moc"
