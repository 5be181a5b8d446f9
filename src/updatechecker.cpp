#include "updatechecker.h"

UpdateChecker::UpdateChecker(QObject *parent) : QObject(parent) {}

void UpdateChecker::checkForUpdate() {}

void UpdateChecker::on_updateCheckAvailable(QByteArray updateData)
{
    Q_UNUSED(updateData)
}
