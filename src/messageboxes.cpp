#include "messageboxes.h"

#include <QDebug>
#include <QApplication>
#include <QGuiApplication>

#include <cstdio>

namespace {
void reportHeadless(const char *kind, const QString &title, const QString &text)
{
    qWarning() << kind << title << text;
    const QByteArray line = (title + QStringLiteral(": ") + text + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}
} // namespace

bool MessageBoxes::isHeadless()
{
    // Without a widget application (a command-line tool, a test) a box cannot exist at all.
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return true;
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

QMessageBox::StandardButton MessageBoxes::critical(QWidget *parent, const QString &title, const QString &text,
                                                   QMessageBox::StandardButton button)
{
    if (isHeadless()) {
        reportHeadless("Message box (not shown, no screen):", title, text);
        return button;
    }
    return QMessageBox::critical(parent, title, text, button);
}

QMessageBox::StandardButton MessageBoxes::question(QWidget *parent, const QString &title, const QString &text,
                                                   QMessageBox::StandardButton defaultButton)
{
    if (isHeadless()) {
        reportHeadless("Question (not shown, no screen, answered No):", title, text);
        return QMessageBox::No;
    }
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No, defaultButton);
}
