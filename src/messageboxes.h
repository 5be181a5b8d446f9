#ifndef MESSAGEBOXES_H
#define MESSAGEBOXES_H

#include <QMessageBox>
#include <QString>

class QWidget;

// The updater's modal message boxes, aware of platforms without a visible screen.
//
// On the "offscreen" and "minimal" platforms (a headless run: the demo on a machine without a display,
// automated runs) and in a process without a widget application, no one can see or answer a box, and
// a modal box would keep the process waiting forever. There the box is not shown: its title and text
// go to standard error and to the log, and the call returns at once as if the user had taken the safe
// answer (the only button of an error box; "No" for a question). Everything after the box runs as it
// does on a desktop, so a headless run ends with the same exit code. GUI thread only.
class MessageBoxes {
public:
    MessageBoxes() = delete;

    // True on a platform where a box cannot be seen, and when the process has no widget application.
    static bool isHeadless();

    // A critical box with one button; returns that button.
    static QMessageBox::StandardButton critical(QWidget *parent, const QString &title, const QString &text,
                                                QMessageBox::StandardButton button = QMessageBox::Ok);

    // A question with the buttons Yes and No; headless it is answered No.
    static QMessageBox::StandardButton question(QWidget *parent, const QString &title, const QString &text,
                                                QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
};

#endif // MESSAGEBOXES_H
