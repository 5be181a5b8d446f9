#include "mainwindow.h"

#include "configuration.h"
#include "messageboxes.h"
#include "singleinstancechecker.h"
#include "updateengine.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QVBoxLayout>

MainWindow *MainWindow::s_Instance = nullptr;

MainWindow::MainWindow(Configuration *configuration)
    : QWidget(nullptr), m_Configuration(configuration), m_Engine(new UpdateEngine(configuration, this)),
      m_SingleInstanceChecker(nullptr), m_VersionLabel(new QLabel(this))
{
    s_Instance = this;
    connect(m_Engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);

    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(tr("Vantorel 3 Client Update"));
    m_VersionLabel->setObjectName(QStringLiteral("versionLabel"));
    m_VersionLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto *layout = new QVBoxLayout(this);
    layout->setObjectName(QStringLiteral("verticalLayout"));
    layout->addWidget(m_VersionLabel);
    resize(486, 298);

    m_SingleInstanceChecker = new SingleInstanceChecker(this);
    connect(m_SingleInstanceChecker, &SingleInstanceChecker::otherInstanceActivate, this,
            &MainWindow::onOtherInstanceActivate);
    connect(m_Configuration, &Configuration::fatalError, this, &MainWindow::onConfigurationFatalError);
    connect(m_Configuration, &Configuration::ready, this, &MainWindow::onStartUpdate);
}

MainWindow::~MainWindow()
{
    s_Instance = nullptr;
}

void MainWindow::updateHeaderText()
{
    QString text;
    if (!m_Configuration->m_VersionString.isEmpty()) {
        text += QStringLiteral("<div style=\"font-weight:bold;font-size:large\">") +
                tr("Update to Vantorel %1").arg(m_Configuration->m_VersionString) + QStringLiteral("</div>");
    }
    QString channel;
    switch (m_Configuration->m_Channel) {
    case 0:
        channel = tr("Stable");
        break;
    case 1:
        channel = tr("Beta");
        break;
    case 2:
        channel = tr("Alpha");
        break;
    default:
        break;
    }
    text += QStringLiteral("<div style=\"margin-top:0.2em\">") +
            tr("You are currently on <strong>%1 channel</strong>.").arg(channel) + QStringLiteral("</div>");
    text += QStringLiteral("<div style=\"margin-top:0.2em;font-style:italic\">") +
            (m_Configuration->m_ClientUpdate ? tr("Step two: Updating Vantorel client")
                                             : tr("Step one: Updating updater")) +
            QStringLiteral("</div>");
    m_VersionLabel->setText(text);
}

QString MainWindow::headerText() const
{
    return m_VersionLabel->text();
}

void MainWindow::delete_force_update_files()
{
    qDebug() << "delete_force_update_files" << m_Configuration->m_ClientUpdate;
    if (m_Configuration->m_ClientUpdate)
        return;
    // Plain unlinks: a link planted under either name goes, its target stays.
    const QString temp = QDir::tempPath() + QLatin1Char('/');
    QFile::remove(temp + QStringLiteral("vt3_force_update"));
    QFile::remove(temp + QStringLiteral("vt3_force_update_check"));
}

void MainWindow::onStartUpdate()
{
    qDebug() << "onStartUpdate" << m_Finished << m_Started;
    if (m_Finished || m_Started)
        return;
    if (!m_Configuration->isReady()) {
        qDebug() << "Aborting start update, configuration not yet ready";
        return;
    }
    // The session is prepared and run here once the engine's session logic is in place.
}

void MainWindow::onFatalError(QString errorMessage)
{
    MessageBoxes::critical(this, QCoreApplication::translate("QObject", "Error"), errorMessage);
    QCoreApplication::exit(2);
}

void MainWindow::onConfigurationFatalError(QString errorMessage)
{
    MessageBoxes::critical(this, QCoreApplication::translate("QObject", "Error"), errorMessage);
    QCoreApplication::exit(1);
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    qDebug() << "otherInstanceActivate" << message;
    if (message != QLatin1String("#"))
        return;
    raise();
    activateWindow();
}
