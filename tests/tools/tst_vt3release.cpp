#include "testpaths.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {
struct Result {
    int code = -1;
    QString out;
    QString err;
};

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QString testKey()
{
    return TestPaths::sourceDir() + QStringLiteral("/keys/test-only-private.der");
}
} // namespace

class TestVt3Release : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void commandLine_data();
    void commandLine();
    void keygenThenSignVerifiesIndependently();
    void signWithTheTestKey();
    void keygenKeepsExistingFiles();

private:
    Result run(const QStringList &args, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());
    // Checks FILE.sig against PUBLIC.der with openssl, a verifier that shares no code with ours.
    void verifyWithOpenssl(const QString &file, const QString &publicDer);

    QString m_Tool;
    QTemporaryDir m_Dir;
};

void TestVt3Release::initTestCase()
{
    m_Tool = TestPaths::binDir() + QStringLiteral("/vt3-release");
    QVERIFY2(QFileInfo(m_Tool).isExecutable(), qPrintable(m_Tool + " is not built"));
    QVERIFY(m_Dir.isValid());
    QVERIFY(writeFile(m_Dir.filePath(QStringLiteral("manifest.ini")), "[files]\na=b\n"));
    QVERIFY(writeFile(m_Dir.filePath(QStringLiteral("garbage.der")), "not a key at all"));
}

Result TestVt3Release::run(const QStringList &args, const QProcessEnvironment &env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(m_Dir.path());
    process.start(m_Tool, args);
    Result result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.code = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

void TestVt3Release::verifyWithOpenssl(const QString &file, const QString &publicDer)
{
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty())
        QSKIP("openssl is not installed");
    const QString pem = m_Dir.filePath(QStringLiteral("public.pem"));
    QProcess convert;
    convert.start(openssl, {"pkey", "-pubin", "-inform", "DER", "-in", publicDer, "-out", pem});
    QVERIFY(convert.waitForFinished(30000));
    QCOMPARE(convert.exitCode(), 0);
    QProcess verify;
    verify.start(openssl, {"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:8",
                           "-verify", pem, "-signature", file + ".sig", file});
    QVERIFY(verify.waitForFinished(30000));
    QVERIFY2(verify.exitCode() == 0, verify.readAllStandardOutput() + verify.readAllStandardError());
}

void TestVt3Release::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("stdoutHas");
    QTest::addColumn<QString>("stderrHas");

    QTest::newRow("nothing") << QStringList() << 2 << "" << "usage: vt3-release COMMAND";
    QTest::newRow("--help") << QStringList{"--help"} << 0 << "keygen" << "";
    QTest::newRow("--help lists sign") << QStringList{"--help"} << 0 << "sign" << "";
    QTest::newRow("unknown command") << QStringList{"publish-all"} << 2 << "" << "unknown command 'publish-all'";
    QTest::newRow("keygen --help") << QStringList{"keygen", "--help"} << 0 << "1024-bit" << "";
    QTest::newRow("keygen one name") << QStringList{"keygen", "only.der"} << 2 << "" << "two file names";
    QTest::newRow("keygen same file twice") << QStringList{"keygen", "k.der", "./k.der"} << 2 << ""
                                            << "two different files";
    QTest::newRow("keygen unknown option") << QStringList{"keygen", "a", "b", "--bits=2048"} << 2 << ""
                                           << "unknown option '--bits=2048'";
    QTest::newRow("sign --help") << QStringList{"sign", "--help"} << 0 << "VT3_SIGNING_KEY" << "";
    QTest::newRow("sign without a file") << QStringList{"sign", "--key", testKey()} << 2 << "" << "exactly one FILE";
    QTest::newRow("sign without a key") << QStringList{"sign", "manifest.ini"} << 2 << "" << "no signing key";
    QTest::newRow("sign --key without a name") << QStringList{"sign", "manifest.ini", "--key"} << 2 << ""
                                               << "--key needs a file name";
    QTest::newRow("sign a missing file") << QStringList{"sign", "missing.ini", "--key", testKey()} << 1 << ""
                                         << "cannot read missing.ini";
    QTest::newRow("sign with a missing key") << QStringList{"sign", "manifest.ini", "--key", "nokey.der"} << 1 << ""
                                             << "cannot read nokey.der";
    QTest::newRow("sign with a key that is none") << QStringList{"sign", "manifest.ini", "--key", "garbage.der"} << 1
                                                  << "" << "garbage.der is not an RSA key: rsa_import: ";
    QTest::newRow("sign with the public key")
        << QStringList{"sign", "manifest.ini", "--key", TestPaths::sourceDir() + "/keys/test-only-public.der"} << 1
        << "" << "is a public key";
}

void TestVt3Release::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, stdoutHas);
    QFETCH(QString, stderrHas);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("VT3_SIGNING_KEY"));
    const Result result = run(args, env);
    QCOMPARE(result.code, code);
    QVERIFY2(result.out.contains(stdoutHas), qPrintable(result.out));
    QVERIFY2(result.err.contains(stderrHas), qPrintable(result.err));
    // Failures leave no signature behind.
    if (code != 0)
        QVERIFY(!QFile::exists(m_Dir.filePath(QStringLiteral("manifest.ini.sig"))));
}

void TestVt3Release::keygenThenSignVerifiesIndependently()
{
    const QString privateDer = m_Dir.filePath(QStringLiteral("new-private.der"));
    const QString publicDer = m_Dir.filePath(QStringLiteral("new-public.der"));
    Result result = run({"keygen", privateDer, publicDer});
    QCOMPARE(result.code, 0);
    QCOMPARE(QFileInfo(privateDer).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
             QFileDevice::Permissions());
    // A 1024-bit SubjectPublicKeyInfo is 162 bytes; the private key is a PKCS #1 SEQUENCE.
    QCOMPARE(QFileInfo(publicDer).size(), qint64(162));
    QFile key(privateDer);
    QVERIFY(key.open(QIODevice::ReadOnly));
    QCOMPARE(key.read(1), QByteArray("\x30"));

    const QString file = m_Dir.filePath(QStringLiteral("signed-by-new.bin"));
    QVERIFY(writeFile(file, QByteArray(100000, 'q')));
    // The environment variable names the key when --key is not given.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VT3_SIGNING_KEY"), privateDer);
    result = run({"sign", file}, env);
    QCOMPARE(result.code, 0);
    QVERIFY2(result.err.contains("not the key compiled into this build"), qPrintable(result.err));
    QCOMPARE(QFileInfo(file + ".sig").size(), qint64(128));
    verifyWithOpenssl(file, publicDer);
}

void TestVt3Release::signWithTheTestKey()
{
    const QString file = m_Dir.filePath(QStringLiteral("signed-by-test-key.ini"));
    QVERIFY(writeFile(file, QByteArray()));
    const Result result = run({"sign", file, "--key=" + testKey()});
    QCOMPARE(result.code, 0);
    QVERIFY2(result.err.isEmpty(), qPrintable(result.err));
    QCOMPARE(QFileInfo(file + ".sig").size(), qint64(128));
    verifyWithOpenssl(file, TestPaths::sourceDir() + QStringLiteral("/keys/test-only-public.der"));
}

void TestVt3Release::keygenKeepsExistingFiles()
{
    const QString privateDer = m_Dir.filePath(QStringLiteral("keep-private.der"));
    const QString publicDer = m_Dir.filePath(QStringLiteral("keep-public.der"));
    QVERIFY(writeFile(publicDer, "precious"));
    Result result = run({"keygen", privateDer, publicDer});
    QCOMPARE(result.code, 1);
    QVERIFY(result.err.contains("not overwritten (use --force)"));
    QVERIFY(!QFile::exists(privateDer));
    QFile file(publicDer);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("precious"));
    file.close();

    result = run({"keygen", privateDer, publicDer, "--force"});
    QCOMPARE(result.code, 0);
    QCOMPARE(QFileInfo(publicDer).size(), qint64(162));
}

QTEST_GUILESS_MAIN(TestVt3Release)
#include "tst_vt3release.moc"
