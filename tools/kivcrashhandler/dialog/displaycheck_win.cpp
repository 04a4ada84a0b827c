#include "displaycheck.h"

#include <windows.h>

bool displayAvailable(QString *reason)
{
    // A service runs in a window station whose windows nobody sees; an interactive session's is visible.
    USEROBJECTFLAGS flags = {};
    HWINSTA station = GetProcessWindowStation();
    if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr)) {
        *reason = QStringLiteral("no display: the window station cannot be read (error %1)").arg(GetLastError());
        return false;
    }
    if (flags.dwFlags & WSF_VISIBLE)
        return true;
    *reason = QStringLiteral("no display: the handler runs in a non-interactive session");
    return false;
}
