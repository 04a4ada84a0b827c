#ifndef KIVCRASHHANDLER_LOCALDUMPS_H
#define KIVCRASHHANDLER_LOCALDUMPS_H

#include <QJsonObject>
#include <QString>

// The local-dump settings registered for the host's executable "<appName>.exe", read through the
// library's own reader (the user's settings first, then the system's; the registry on Windows):
// {"count", "folder", "type"}, with -1 and "" where nothing is registered.
QJsonObject localDumpsOf(const QString &appName);

// Whether a process's dump is kept beside its report: when its application's local dumps ask for
// full dumps (type 2) or none are registered; after a smaller type it is removed once read.
bool keepsDumpOf(const QString &appName);

#endif // KIVCRASHHANDLER_LOCALDUMPS_H
