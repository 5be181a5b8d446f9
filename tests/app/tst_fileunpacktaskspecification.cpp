#include "fileopstestutil.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "rollback.h"
#include "testpaths.h"

#include "create/lzma_container_create.h"
#include "lib/streams.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <zlib.h>

using namespace FileOpsTestUtil;

namespace {

enum Kind { LZMA2, ZIP };

QByteArray fixture(const QString &name)
{
    return readFile(TestPaths::dataFile(name));
}

// A real container as the publisher tools make it; directive 2 when the bytes are a recognised
// executable and programs are allowed.
QByteArray container(const QByteArray &data, bool allowPrograms, uint32_t *directive)
{
    vtpatch::WriteStream out;
    std::string error;
    if (!vtpatch::CreateLzmaContainer(reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()),
                                      allowPrograms, &out, directive, 6, &error)) {
        qWarning("CreateLzmaContainer: %s", error.c_str());
        return QByteArray();
    }
    return QByteArray(reinterpret_cast<const char *>(out.Data()), int(out.Length()));
}

// A real gzip file (header, deflate data, CRC-32 and length trailer) made with zlib's writer.
QByteArray gzip(const QByteArray &data, const QString &scratch)
{
    gzFile file = gzopen(scratch.toUtf8().constData(), "wb9");
    if (file == nullptr) {
        return QByteArray();
    }
    const int written = data.isEmpty() ? 0 : gzwrite(file, data.constData(), unsigned(data.size()));
    if (gzclose(file) != Z_OK || written != data.size()) {
        return QByteArray();
    }
    const QByteArray bytes = readFile(scratch);
    QFile::remove(scratch);
    return bytes;
}

SlowFileOpSpecification *makeTask(int kind, RollbackDataList *journal, const QString &source, const QString &dest)
{
    if (kind == LZMA2) {
        return new FileUnpackTaskSpecification_lzma2(journal, source, dest, nullptr, 0.8);
    }
    return new FileUnpackTaskSpecification_zip(journal, source, dest, nullptr, 0.8);
}

} // namespace

class TestFileUnpackTaskSpecification : public QObject {
    Q_OBJECT

private slots:
    void init();

    void unpacks_data();
    void unpacks();
    void failures_data();
    void failures();

private:
    QString path(const QString &name) const { return m_Dir->filePath(name); }

    QScopedPointer<QTemporaryDir> m_Dir;
};

void TestFileUnpackTaskSpecification::init()
{
    m_Dir.reset(new QTemporaryDir);
    QVERIFY(m_Dir->isValid());
}

void TestFileUnpackTaskSpecification::unpacks_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("expected");

    QTemporaryDir scratch;
    const QByteArray data = sampleBytes(200 * 1024, 1);
    uint32_t directive = 0;
    const QByteArray plain = container(data, true, &directive);
    QCOMPARE(directive, 1u);
    QTest::newRow("lzma2: data, directive 1") << int(LZMA2) << plain << data;

    const QByteArray exe = fixture("exe/elf-x64-pie-v1");
    const QByteArray program = container(exe, true, &directive);
    QCOMPARE(directive, 2u);
    QTest::newRow("lzma2: x86-64 executable, directive 2") << int(LZMA2) << program << exe;
    const QByteArray pe = fixture("exe/pe32-v2.exe");
    const QByteArray peProgram = container(pe, true, &directive);
    QCOMPARE(directive, 2u);
    QTest::newRow("lzma2: PE executable, directive 2") << int(LZMA2) << peProgram << pe;

    // More than one 16 KiB buffer, and a final partial one.
    QTest::newRow("gzip: several buffers") << int(ZIP) << gzip(data, scratch.filePath("g")) << data;
    QTest::newRow("gzip: exactly one buffer")
        << int(ZIP) << gzip(data.left(16384), scratch.filePath("g")) << data.left(16384);
    QTest::newRow("gzip: empty content") << int(ZIP) << gzip(QByteArray(), scratch.filePath("g")) << QByteArray();
    QTest::newRow("gzip: not gzip data is copied unchanged") << int(ZIP) << exe << exe;
}

void TestFileUnpackTaskSpecification::unpacks()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, expected);
    QVERIFY(!source.isEmpty());
    QVERIFY(writeFile(path("delivered"), source));

    RollbackDataList journal;
    QScopedPointer<SlowFileOpSpecification> task(makeTask(kind, &journal, path("delivered"), path("installed")));
    QSignalSpy messages(task.data(), &TaskSpecification::message);
    QSignalSpy progress(task.data(), &TaskSpecification::updateProgress);
    QCOMPARE(runToEnd(task.data()), int(TASK_FINISHED));
    QCOMPARE(messages.count(), 0);
    QCOMPARE(task->m_Progress, 0.8);
    QCOMPARE(progress.count(), 1); // no fractions: from nothing to the full weight
    QCOMPARE(readFile(path("installed")), expected);
    QCOMPARE(QFileInfo(path("installed")).size(), qint64(expected.size()));
    QCOMPARE(journalText(journal), QStringList(QStringLiteral("FILE_CREATE %1").arg(path("installed"))));
    QCOMPARE(readFile(path("delivered")), source);
}

void TestFileUnpackTaskSpecification::failures_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QString>("destination");

    QTemporaryDir scratch;
    const QByteArray data = sampleBytes(100 * 1024, 2);
    uint32_t directive = 0;
    const QByteArray packed = container(data, false, &directive);
    QByteArray badChecksum = packed;
    badChecksum[4] = char(badChecksum[4] ^ 0x01); // inside the checksum varint
    const QByteArray gz = gzip(data, scratch.filePath("g"));
    QByteArray badCrc = gz;
    badCrc[badCrc.size() - 6] = char(badCrc[badCrc.size() - 6] ^ 0x55); // CRC-32 trailer
    QByteArray corrupt = gz;
    for (int i = 20; i < 60; ++i) {
        corrupt[i] = char(0xFF);
    }

    QTest::newRow("lzma2: not a container") << int(LZMA2) << true << QByteArray("plain text, not a container") << "out";
    QTest::newRow("lzma2: missing source") << int(LZMA2) << false << QByteArray() << "out";
    QTest::newRow("lzma2: checksum mismatch") << int(LZMA2) << true << badChecksum << "out";
    QTest::newRow("lzma2: truncated container") << int(LZMA2) << true << packed.left(packed.size() / 2) << "out";
    QTest::newRow("lzma2: destination directory missing") << int(LZMA2) << true << packed << "missing/out";
    QTest::newRow("gzip: missing source") << int(ZIP) << false << QByteArray() << "out";
    QTest::newRow("gzip: destination directory missing") << int(ZIP) << true << gz << "missing/out";
    QTest::newRow("gzip: destination under a regular file") << int(ZIP) << true << gz << "delivered/out";
    QTest::newRow("gzip: CRC mismatch") << int(ZIP) << true << badCrc << "out";
    QTest::newRow("gzip: corrupt deflate data") << int(ZIP) << true << corrupt << "out";
    QTest::newRow("gzip: truncated download") << int(ZIP) << true << gz.left(gz.size() / 2) << "out";
}

void TestFileUnpackTaskSpecification::failures()
{
    QFETCH(int, kind);
    QFETCH(bool, sourceExists);
    QFETCH(QByteArray, source);
    QFETCH(QString, destination);
    if (sourceExists) {
        QVERIFY(writeFile(path("delivered"), source));
    }

    RollbackDataList journal;
    QScopedPointer<SlowFileOpSpecification> task(makeTask(kind, &journal, path("delivered"), path(destination)));
    QSignalSpy messages(task.data(), &TaskSpecification::message);
    QSignalSpy errors(task.data(), &TaskSpecification::error);
    QCOMPARE(runToEnd(task.data()), int(TASK_FAILED));
    QCOMPARE(errors.count(), 0);
    const QString pattern = kind == LZMA2 ? QStringLiteral("Could not unpack '%1' to '%2'")
                                          : QStringLiteral("Could not unzip '%1' to '%2'");
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), pattern.arg(path("delivered"), path(destination)));
    QVERIFY(journal.isEmpty());
    QVERIFY(!QFileInfo::exists(path(destination)));
    // Nothing else appeared beside the source: no partial or temporary output.
    QCOMPARE(QDir(m_Dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             sourceExists ? QStringList("delivered") : QStringList());
}

QTEST_GUILESS_MAIN(TestFileUnpackTaskSpecification)
#include "tst_fileunpacktaskspecification.moc"
