#include "displaycheck.h"

#include <QtGlobal>

bool displayAvailable(QString *reason)
{
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    *reason = QStringLiteral("no display: neither DISPLAY nor WAYLAND_DISPLAY is set");
    return false;
}
