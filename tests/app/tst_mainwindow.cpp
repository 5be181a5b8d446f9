#include "configuration.h"
#include "mainwindow.h"
#include "programdirectory.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {
void writeFile(const QString &path, const QByteArray &content = QByteArray())
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), qint64(content.size()));
}
} // namespace

class tst_MainWindow : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_Temp; // TMPDIR: notice files and the single-instance socket
    QTemporaryDir m_Program;
    QByteArray m_SavedTmpdir;

private slots:
    void initTestCase();
    void cleanupTestCase();

    void headerText_data();
    void headerText();
    void startWaitsForTheConfiguration();
    void noticeFilesGoInStepOneOnly_data();
    void noticeFilesGoInStepOneOnly();
    void noticeFileLinkGoesButNotItsTarget();
};

void tst_MainWindow::initTestCase()
{
    QVERIFY(m_Temp.isValid() && m_Program.isValid());
    m_SavedTmpdir = qgetenv("TMPDIR");
    qputenv("TMPDIR", m_Temp.path().toUtf8());
    ProgramDirectory::setPath(m_Program.path());
}

void tst_MainWindow::cleanupTestCase()
{
    qputenv("TMPDIR", m_SavedTmpdir);
    ProgramDirectory::setPath(QString());
}

void tst_MainWindow::headerText_data()
{
    QTest::addColumn<QString>("versionString");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("clientUpdate");
    QTest::addColumn<QString>("expected");

    const QString stepOne =
        QStringLiteral("<div style=\"margin-top:0.2em;font-style:italic\">Step one: Updating updater</div>");
    const QString stepTwo =
        QStringLiteral("<div style=\"margin-top:0.2em;font-style:italic\">Step two: Updating Vantorel client</div>");
    auto channelDiv = [](const QString &name) {
        return QStringLiteral("<div style=\"margin-top:0.2em\">You are currently on <strong>") + name +
               QStringLiteral(" channel</strong>.</div>");
    };
    QTest::newRow("version text, stable, step one")
        << "3.5.6" << 0 << 0
        << QStringLiteral("<div style=\"font-weight:bold;font-size:large\">Update to Vantorel 3.5.6</div>") +
               channelDiv("Stable") + stepOne;
    QTest::newRow("no version text, beta, step two") << QString() << 1 << 1 << channelDiv("Beta") + stepTwo;
    QTest::newRow("alpha") << QString() << 2 << 0 << channelDiv("Alpha") + stepOne;
    QTest::newRow("unknown channel: empty name") << QString() << 5 << 0 << channelDiv(QString()) + stepOne;
}

void tst_MainWindow::headerText()
{
    QFETCH(QString, versionString);
    QFETCH(int, channel);
    QFETCH(int, clientUpdate);
    QFETCH(QString, expected);

    Configuration configuration;
    configuration.m_VersionString = versionString;
    configuration.m_Channel = channel;
    configuration.m_ClientUpdate = clientUpdate;
    MainWindow window(&configuration);
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(MainWindow::s_Instance, &window);
    window.updateHeaderText();
    QCOMPARE(window.headerText(), expected);
}

void tst_MainWindow::startWaitsForTheConfiguration()
{
    Configuration configuration;
    MainWindow window(&configuration);
    QTest::ignoreMessage(QtDebugMsg, "Aborting start update, configuration not yet ready");
    window.onStartUpdate();
}

void tst_MainWindow::noticeFilesGoInStepOneOnly_data()
{
    QTest::addColumn<int>("clientUpdate");
    QTest::addColumn<bool>("removed");
    QTest::newRow("step one removes") << 0 << true;
    QTest::newRow("step two keeps") << 1 << false;
}

void tst_MainWindow::noticeFilesGoInStepOneOnly()
{
    QFETCH(int, clientUpdate);
    QFETCH(bool, removed);
    const QString force = m_Temp.filePath(QStringLiteral("vt3_force_update"));
    const QString check = m_Temp.filePath(QStringLiteral("vt3_force_update_check"));
    writeFile(force);
    writeFile(check);

    Configuration configuration;
    configuration.m_ClientUpdate = clientUpdate;
    MainWindow window(&configuration);
    window.delete_force_update_files();
    QCOMPARE(QFileInfo::exists(force), !removed);
    QCOMPARE(QFileInfo::exists(check), !removed);
    QFile::remove(force);
    QFile::remove(check);
}

void tst_MainWindow::noticeFileLinkGoesButNotItsTarget()
{
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    const QString target = elsewhere.filePath(QStringLiteral("precious"));
    writeFile(target, "keep");
    const QString link = m_Temp.filePath(QStringLiteral("vt3_force_update"));
    QVERIFY(QFile::link(target, link));

    Configuration configuration;
    MainWindow window(&configuration);
    window.delete_force_update_files();
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(QFileInfo::exists(target));
}

int main(int argc, char *argv[])
{
    // Qt 5.15's offscreen platform plugin leaves its screen behind at exit, which LeakSanitizer reports
    // against the test; the minimal platform is just as headless and tidies up after itself.
    qputenv("QT_QPA_PLATFORM", "minimal");
    QApplication app(argc, argv);
    tst_MainWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_mainwindow.moc"
