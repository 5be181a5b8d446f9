#include "programdirectory.h"
#include "updateinidata.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), qint64(content.size()));
}

} // namespace

class tst_UpdateIniData : public QObject {
    Q_OBJECT

private:
    // A fresh program directory for every test and row: the settings class caches files by path and
    // would not notice a rewrite of equal size within the same millisecond.
    std::unique_ptr<QTemporaryDir> m_Program;
    QTemporaryDir m_Session; // an existing directory for "dir"
    QString stateFile() const { return m_Program->filePath(QStringLiteral("update.ini")); }

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void roundTrip_data();
    void roundTrip();
    void invalidGroup_data();
    void invalidGroup();
    void getWritesOnlyRequestedOutputs();
    void modifyPreservesOtherGroups();
    void garbledFileHealsOnTheNextWrite();
    void modifyReportsAnUnwritableFile();
    void modifyTempIni();
    void modifyTempIniWithoutSession();
};

void tst_UpdateIniData::initTestCase()
{
    QVERIFY(m_Session.isValid());
}

void tst_UpdateIniData::init()
{
    m_Program.reset(new QTemporaryDir);
    QVERIFY(m_Program->isValid());
    ProgramDirectory::setPath(m_Program->path());
}

void tst_UpdateIniData::cleanupTestCase()
{
    ProgramDirectory::setPath(QString());
}

void tst_UpdateIniData::roundTrip_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("vt3dir");
    QTest::addColumn<QString>("type");

    QTest::newRow("first step") << 17 << QStringLiteral("/opt/vantorel 3") << QStringLiteral("update_linux_amd64");
    QTest::newRow("empty vt3dir is valid") << 5 << QString() << QStringLiteral("client_linux_amd64");
    QTest::newRow("version 0") << 0 << QStringLiteral("/i") << QStringLiteral("t");
    QTest::newRow("negative version") << -3 << QStringLiteral("/i") << QStringLiteral("t");
    QTest::newRow("characters the INI form escapes")
        << 9 << QStringLiteral("/i;x=y,\"q\"/ü\\[g]") << QStringLiteral("a=b;c");
}

void tst_UpdateIniData::roundTrip()
{
    QFETCH(int, version);
    QFETCH(QString, vt3dir);
    QFETCH(QString, type);

    QVERIFY(UpdateIniData::modify(version, m_Session.path(), vt3dir, type));
    int gotVersion = -1000;
    QString gotType, gotDir, gotVt3dir = QStringLiteral("untouched");
    QVERIFY(UpdateIniData::get(&gotVersion, &gotType, &gotDir, &gotVt3dir));
    QCOMPARE(gotVersion, version);
    QCOMPARE(gotType, type);
    QCOMPARE(gotDir, m_Session.path());
    QCOMPARE(gotVt3dir, vt3dir);
}

void tst_UpdateIniData::invalidGroup_data()
{
    QTest::addColumn<QByteArray>("content"); // %DIR% stands for an existing directory
    QTest::newRow("no file") << QByteArray();
    QTest::newRow("no group current") << QByteArray("[update]\nproxy=x\n");
    QTest::newRow("version not a number") << QByteArray("[current]\nversion=12a\ndir=%DIR%\nvt3dir=/i\ntype=t\n");
    QTest::newRow("version missing") << QByteArray("[current]\ndir=%DIR%\nvt3dir=/i\ntype=t\n");
    QTest::newRow("type empty") << QByteArray("[current]\nversion=3\ndir=%DIR%\nvt3dir=/i\ntype=\n");
    QTest::newRow("dir empty") << QByteArray("[current]\nversion=3\ndir=\nvt3dir=/i\ntype=t\n");
    QTest::newRow("dir gone") << QByteArray("[current]\nversion=3\ndir=%DIR%/gone\nvt3dir=/i\ntype=t\n");
    QTest::newRow("keys in another group") << QByteArray("[Current]\nversion=3\ndir=%DIR%\ntype=t\n");
    QTest::newRow("binary garbage") << QByteArray("\x00\xff\x13[current\nversion\n=\n", 21);
}

void tst_UpdateIniData::invalidGroup()
{
    QFETCH(QByteArray, content);
    if (!content.isNull())
        writeFile(stateFile(), content.replace("%DIR%", m_Session.path().toUtf8()));

    int version = -1;
    QString type = QStringLiteral("t0"), dir = QStringLiteral("d0"), vt3dir = QStringLiteral("v0");
    QVERIFY(!UpdateIniData::get(&version, &type, &dir, &vt3dir));
    // Outputs stay as they were.
    QCOMPARE(version, -1);
    QCOMPARE(type, QStringLiteral("t0"));
    QCOMPARE(dir, QStringLiteral("d0"));
    QCOMPARE(vt3dir, QStringLiteral("v0"));
}

void tst_UpdateIniData::getWritesOnlyRequestedOutputs()
{
    QVERIFY(UpdateIniData::modify(4, m_Session.path(), QStringLiteral("/i"), QStringLiteral("t")));
    QString dir;
    QVERIFY(UpdateIniData::get(nullptr, nullptr, &dir, nullptr));
    QCOMPARE(dir, m_Session.path());
}

void tst_UpdateIniData::modifyPreservesOtherGroups()
{
    writeFile(stateFile(), "[update]\nproxy=http://proxy.example:3128\nstreams=3\n"
                           "[Channel]\nalpha=http://alpha.example/\nalphaRevno=42\n"
                           "[current]\nversion=1\ndir=/old\nvt3dir=/old\ntype=old\nextra=kept\n");
    QVERIFY(UpdateIniData::modify(8, m_Session.path(), QStringLiteral("/i"), QStringLiteral("t")));

    QSettings settings(stateFile(), QSettings::IniFormat);
    QCOMPARE(settings.value("update/proxy").toString(), QStringLiteral("http://proxy.example:3128"));
    QCOMPARE(settings.value("update/streams").toInt(), 3);
    QCOMPARE(settings.value("Channel/alpha").toString(), QStringLiteral("http://alpha.example/"));
    QCOMPARE(settings.value("Channel/alphaRevno").toInt(), 42);
    QCOMPARE(settings.value("current/extra").toString(), QStringLiteral("kept"));
    QCOMPARE(settings.value("current/version").toInt(), 8);
}

void tst_UpdateIniData::garbledFileHealsOnTheNextWrite()
{
    // A hand-edited file with a line the settings class cannot parse holds no session. The write
    // keeps everything that could be read, drops the unreadable line and reports the format error;
    // the file is sound afterwards.
    writeFile(stateFile(), "[update]\nproxy=http://proxy.example:3128\nthis line has no equals sign\n"
                           "[current]\nversion=3\n");
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
    QVERIFY(!UpdateIniData::modify(8, m_Session.path(), QStringLiteral("/i"), QStringLiteral("t")));

    int version = 0;
    QVERIFY(UpdateIniData::get(&version, nullptr, nullptr, nullptr));
    QCOMPARE(version, 8);
    QSettings settings(stateFile(), QSettings::IniFormat);
    QCOMPARE(settings.value("update/proxy").toString(), QStringLiteral("http://proxy.example:3128"));
    QCOMPARE(settings.status(), QSettings::NoError);
}

void tst_UpdateIniData::modifyReportsAnUnwritableFile()
{
    // The path of the state file is taken by a directory: nothing can be written there.
    QVERIFY(QDir().mkdir(stateFile()));
    QVERIFY(!UpdateIniData::modify(8, m_Session.path(), QStringLiteral("/i"), QStringLiteral("t")));
    QVERIFY(QDir().rmdir(stateFile()));
}

void tst_UpdateIniData::modifyTempIni()
{
    writeFile(stateFile(), "[update]\nstreams=3\n");
    QVERIFY(
        UpdateIniData::modify(11, m_Session.path(), QStringLiteral("/opt/vt3"), QStringLiteral("update_linux_amd64")));
    QVERIFY(UpdateIniData::modifyTempIni(m_Session.path()));

    QSettings copy(m_Session.filePath(QStringLiteral("update.ini")), QSettings::IniFormat);
    QCOMPARE(copy.value("current/version").toInt(), 11);
    QCOMPARE(copy.value("current/dir").toString(), m_Session.path());
    QCOMPARE(copy.value("current/vt3dir").toString(), QStringLiteral("/opt/vt3"));
    QCOMPARE(copy.value("current/type").toString(), QStringLiteral("client_linux_amd64"));
    // The copy holds the session only; the original keeps its type.
    QVERIFY(!copy.contains("update/streams"));
    QString type;
    QVERIFY(UpdateIniData::get(nullptr, &type, nullptr, nullptr));
    QCOMPARE(type, QStringLiteral("update_linux_amd64"));
    QFile::remove(m_Session.filePath(QStringLiteral("update.ini")));
}

void tst_UpdateIniData::modifyTempIniWithoutSession()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QVERIFY(!UpdateIniData::modifyTempIni(temp.path()));
    QVERIFY(!QFileInfo::exists(temp.filePath(QStringLiteral("update.ini"))));
}

QTEST_GUILESS_MAIN(tst_UpdateIniData)
#include "tst_updateinidata.moc"
