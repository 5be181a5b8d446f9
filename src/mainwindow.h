#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QWidget>

class Configuration;
class QLabel;
class SingleInstanceChecker;
class UpdateEngine;

// The updater's only window, where an update is started and ended. It owns the update engine and the
// single-instance server. This is the window's start-up core: header, start slot, error handling and
// the notice-file cleaning; the progress view and the session's end join with the update session.
// GUI thread only.
class MainWindow : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY(MainWindow)

public:
    // The configuration is not owned and must outlive the window.
    explicit MainWindow(Configuration *configuration);
    ~MainWindow() override;

    // The one window of the process, or null.
    static MainWindow *s_Instance;

    // Fills the header from the configuration (version text, channel, step).
    void updateHeaderText();
    // In the first step, removes the force-update notice files from the system temporary directory.
    void delete_force_update_files();

    QString headerText() const;
    UpdateEngine *engine() const { return m_Engine; }
    SingleInstanceChecker *singleInstanceChecker() const { return m_SingleInstanceChecker; }

public slots:
    void onStartUpdate();

private slots:
    void onFatalError(QString errorMessage);
    void onConfigurationFatalError(QString errorMessage);
    void onOtherInstanceActivate(QString message);

private:
    Configuration *m_Configuration;
    UpdateEngine *m_Engine;
    SingleInstanceChecker *m_SingleInstanceChecker;
    QLabel *m_VersionLabel;
    bool m_Finished = false;
    bool m_Started = false;
};

#endif // MAINWINDOW_H
