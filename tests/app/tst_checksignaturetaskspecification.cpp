#include "checksignaturetaskspecification.h"
#include "checksigfunc.h"
#include "cryptexception.h"
#include "cryptohelper.h"
#include "testpaths.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

namespace {
QByteArray content(int size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 31 + seed * 7 + (i >> 9)) & 0xff);
    return data;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Peak resident memory of this process so far, in KiB.
long peakRssKiB()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// What one run of a check task reported, in order.
struct Outcome {
    QStringList events; // "check:true", "finished", "canceled"
    QStringList messages;
    int state = -1;
};
} // namespace

class TestCheckSignatureTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // First, so that the peak memory it measures is not one that an earlier test set.
    void largeFileHashedWithFlatMemory();
    void rsaVerdicts_data();
    void rsaVerdicts();
    void verdictWithoutFailing();
    void sha512Verdicts_data();
    void sha512Verdicts();
    void cryptoStartupIsRepeatable();

private:
    Outcome runCheck(const QString &path, const QString &digest, bool failOnMismatch);
    void sign(const QString &path);

    QTemporaryDir m_Dir;
};

void TestCheckSignatureTaskSpecification::initTestCase()
{
    QVERIFY(m_Dir.isValid());
    CryptoHelper::initialize();
    QVERIFY(CryptoHelper::sha1Index() >= 0);
}

void TestCheckSignatureTaskSpecification::sign(const QString &path)
{
    QProcess tool;
    tool.start(TestPaths::binDir() + QStringLiteral("/vt3-release"),
               {QStringLiteral("sign"), path, QStringLiteral("--key"),
                TestPaths::sourceDir() + QStringLiteral("/keys/test-only-private.der")});
    QVERIFY2(tool.waitForFinished(30000), "vt3-release did not finish");
    QVERIFY2(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0,
             tool.readAllStandardError().constData());
    QCOMPARE(QFileInfo(path + ".sig").size(), qint64(128));
}

Outcome TestCheckSignatureTaskSpecification::runCheck(const QString &path, const QString &digest, bool failOnMismatch)
{
    Outcome outcome;
    CheckSignatureTaskSpecification task(path, digest, failOnMismatch, nullptr, 0.25);
    connect(&task, &CheckSignatureTaskSpecification::checkDone, this,
            [&outcome, &task](bool pass, CheckSignatureTaskSpecification *sender) {
                outcome.events << (pass ? QStringLiteral("check:true") : QStringLiteral("check:false"));
                if (sender != &task)
                    outcome.events << QStringLiteral("wrong sender");
            });
    connect(&task, &TaskSpecification::finished, this, [&outcome] { outcome.events << QStringLiteral("finished"); });
    connect(&task, &TaskSpecification::canceled, this, [&outcome] { outcome.events << QStringLiteral("canceled"); });
    connect(&task, &TaskSpecification::message, this, [&outcome](const QString &text) { outcome.messages << text; });
    QSignalSpy errors(&task, &TaskSpecification::error);
    task.execute();
    [&] { QTRY_VERIFY_WITH_TIMEOUT(outcome.events.size() >= 2, 60000); }();
    outcome.state = task.taskState();
    if (!errors.isEmpty())
        outcome.events << QStringLiteral("error signal");
    return outcome;
}

void TestCheckSignatureTaskSpecification::largeFileHashedWithFlatMemory()
{
    const QString sha512sum = QStandardPaths::findExecutable(QStringLiteral("sha512sum"));
    if (sha512sum.isEmpty())
        QSKIP("sha512sum is needed for the expected digest");
    // Past 2^31 bytes, so any 32-bit size arithmetic would show; sparse, so it costs no disk.
    const QString path = m_Dir.filePath(QStringLiteral("large.bin"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize((qint64(2) << 30) + 5));
        QVERIFY(file.seek(qint64(2) << 30));
        QCOMPARE(file.write("tail!"), qint64(5));
    }
    QProcess reference;
    reference.start(sha512sum, {path});
    QVERIFY(reference.waitForFinished(300000));
    const QString expected = QString::fromLatin1(reference.readAllStandardOutput().left(128)).toUpper();
    QCOMPARE(expected.size(), 128);

    const long before = peakRssKiB();
    CheckSigFunc func(path, expected);
    QVERIFY(func.checkSHA512());
    const long growth = peakRssKiB() - before;
    QVERIFY2(growth < 32 * 1024, qPrintable(QStringLiteral("peak memory grew by %1 KiB").arg(growth)));
    QFile::remove(path);
}

void TestCheckSignatureTaskSpecification::rsaVerdicts_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("pass");
    QTest::addColumn<QString>("readMessage"); // %1: the checked file's path

    QTest::newRow("signed file") << "none" << true << "";
    QTest::newRow("signed empty file") << "empty" << true << "";
    QTest::newRow("one byte changed") << "byte" << false << "";
    QTest::newRow("file grew by one byte") << "append" << false << "";
    QTest::newRow("signature of another file") << "other" << false << "";
    QTest::newRow("signature of 127 bytes") << "sig127" << false << "";
    QTest::newRow("signature of 129 bytes") << "sig129" << false << "";
    QTest::newRow("empty signature") << "sig0" << false << "";
    QTest::newRow("signature bit flipped") << "sigbit" << false << "";
    QTest::newRow("huge signature file") << "sighuge" << false << "";
    QTest::newRow("missing signature") << "nosig" << false << "Could not open file %1.sig for reading";
    QTest::newRow("missing file") << "nofile" << false << "Could not open file %1 for reading";
    QTest::newRow("unreadable file (a directory)") << "directory" << false << "Could not open file %1 for reading";
}

void TestCheckSignatureTaskSpecification::rsaVerdicts()
{
    QFETCH(QString, damage);
    QFETCH(bool, pass);
    QFETCH(QString, readMessage);

    const QString path = m_Dir.filePath(QStringLiteral("rsa-%1.ini").arg(damage));
    const QByteArray data = damage == QLatin1String("empty") ? QByteArray() : content(3000, 1);
    if (damage == QLatin1String("directory")) {
        QVERIFY(QDir().mkpath(path));
        QVERIFY(writeFile(path + ".sig", QByteArray(128, 'x')));
    } else {
        QVERIFY(writeFile(path, data));
        sign(path);
    }
    QByteArray sig = readFile(path + ".sig");

    if (damage == QLatin1String("byte")) {
        QByteArray changed = data;
        changed[1500] = char(changed[1500] ^ 0x20);
        QVERIFY(writeFile(path, changed));
    } else if (damage == QLatin1String("append")) {
        QVERIFY(writeFile(path, data + 'x'));
    } else if (damage == QLatin1String("other")) {
        const QString other = m_Dir.filePath(QStringLiteral("other.ini"));
        QVERIFY(writeFile(other, content(3000, 2)));
        sign(other);
        QVERIFY(writeFile(path + ".sig", readFile(other + ".sig")));
    } else if (damage == QLatin1String("sig127")) {
        QVERIFY(writeFile(path + ".sig", sig.left(127)));
    } else if (damage == QLatin1String("sig129")) {
        QVERIFY(writeFile(path + ".sig", sig + '\0'));
    } else if (damage == QLatin1String("sig0")) {
        QVERIFY(writeFile(path + ".sig", QByteArray()));
    } else if (damage == QLatin1String("sigbit")) {
        sig[60] = char(sig[60] ^ 1);
        QVERIFY(writeFile(path + ".sig", sig));
    } else if (damage == QLatin1String("sighuge")) {
        QVERIFY(writeFile(path + ".sig", sig + QByteArray(10 * 1024 * 1024, 'z')));
    } else if (damage == QLatin1String("nosig")) {
        QVERIFY(QFile::remove(path + ".sig"));
    } else if (damage == QLatin1String("nofile")) {
        QVERIFY(QFile::remove(path));
    }

    const Outcome outcome = runCheck(path, QString(), true);
    if (pass) {
        QCOMPARE(outcome.events, QStringList({"check:true", "finished"}));
        QCOMPARE(outcome.state, int(TASK_FINISHED));
        QVERIFY(outcome.messages.isEmpty());
        return;
    }
    QCOMPARE(outcome.events, QStringList({"check:false", "canceled"}));
    QCOMPARE(outcome.state, int(TASK_FAILED));
    QStringList expectedMessages;
    if (!readMessage.isEmpty())
        expectedMessages << readMessage.arg(path);
    expectedMessages << QStringLiteral("Signature check failed for %1").arg(path);
    QCOMPARE(outcome.messages, expectedMessages);
}

void TestCheckSignatureTaskSpecification::verdictWithoutFailing()
{
    const QString path = m_Dir.filePath(QStringLiteral("lenient.bin"));
    QVERIFY(writeFile(path, "some bytes"));
    const Outcome outcome = runCheck(path, QString(128, QLatin1Char('0')), false);
    QCOMPARE(outcome.events, QStringList({"check:false", "finished"}));
    QCOMPARE(outcome.state, int(TASK_FINISHED));
    QCOMPARE(outcome.messages, QStringList{QStringLiteral("Signature check failed for %1").arg(path)});
}

void TestCheckSignatureTaskSpecification::sha512Verdicts_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("digest"); // "lower", "upper", "mixed" of the true digest, or a literal
    QTest::addColumn<bool>("pass");

    const QByteArray big = content(3 * 1024 * 1024 + 17, 3); // more than one read block
    QTest::newRow("lower case") << big << "lower" << true;
    QTest::newRow("upper case") << big << "upper" << true;
    QTest::newRow("mixed case") << big << "mixed" << true;
    QTest::newRow("empty file") << QByteArray() << "lower" << true;
    QTest::newRow("wrong digest") << big << QString(128, QLatin1Char('a')) << false;
    QTest::newRow("digest cut short") << big << "short" << false;
    QTest::newRow("digest with a space") << big << "space" << false;
}

void TestCheckSignatureTaskSpecification::sha512Verdicts()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, digest);
    QFETCH(bool, pass);

    const QString path = m_Dir.filePath(QStringLiteral("digest.bin"));
    QVERIFY(writeFile(path, data));
    const QString truth = QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
    if (digest == QLatin1String("lower")) {
        digest = truth;
    } else if (digest == QLatin1String("upper")) {
        digest = truth.toUpper();
    } else if (digest == QLatin1String("mixed")) {
        digest = truth.left(64).toUpper() + truth.mid(64);
    } else if (digest == QLatin1String("short")) {
        digest = truth.left(127);
    } else if (digest == QLatin1String("space")) {
        digest = truth + QLatin1Char(' ');
    }

    const Outcome outcome = runCheck(path, digest, true);
    QCOMPARE(outcome.events, QStringList({pass ? "check:true" : "check:false", pass ? "finished" : "canceled"}));
    QCOMPARE(outcome.messages.isEmpty(), pass);
}

void TestCheckSignatureTaskSpecification::cryptoStartupIsRepeatable()
{
    const int index = CryptoHelper::sha1Index();
    CryptoHelper::initialize();
    QCOMPARE(CryptoHelper::sha1Index(), index);

    // The wrappers carry the function's name and the library's text.
    CryptoHelper::RsaKey key;
    const unsigned char notAKey[] = {0x30, 0x03, 0x02, 0x01, 0x00};
    try {
        CryptoHelper::rsaImport(notAKey, sizeof(notAKey), key);
        QFAIL("a key that is not one was imported");
    } catch (const crypt_exception &e) {
        QVERIFY2(QByteArray(e.what()).startsWith("rsa_import: "), e.what());
        QVERIFY(qstrlen(e.what()) > qstrlen("rsa_import: "));
    }
}

QTEST_GUILESS_MAIN(TestCheckSignatureTaskSpecification)
#include "tst_checksignaturetaskspecification.moc"
