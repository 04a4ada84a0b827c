#ifndef KIVCRASHHANDLER_DISPLAYCHECK_H
#define KIVCRASHHANDLER_DISPLAYCHECK_H

#include <QString>

// Whether a window shown by this process could reach a user. False with *reason when not. One file
// per platform:
//   Unix     DISPLAY or WAYLAND_DISPLAY is set (the handler has the host's environment)
//   Windows  the process's window station is visible (not the invisible one of a service session)
bool displayAvailable(QString *reason);

#endif // KIVCRASHHANDLER_DISPLAYCHECK_H
