#ifndef KIVCRASHHANDLER_HOST_LOCALDUMPS_H
#define KIVCRASHHANDLER_HOST_LOCALDUMPS_H

#include "localdumpsettings.h"

#include <QJsonObject>
#include <QString>

// The OS's local-dump settings of an executable as the handler reads them, in this one place: the
// library's own reader (the user's settings first, then the system's; the registry on Windows).
// Where the settings are the INI stand-in, the registration tool and the handler both honour
// OSTREL_WER_SETTINGS_DIR for the user's settings folder, so that they agree on one folder; it is
// read per call, never by moving QSettings' path for the whole process.
namespace LocalDumps {

// `executableName` is the file name, "app.exe".
LocalDumpSettings of(const QString &executableName);
// Of the application "<appName>.exe".
LocalDumpSettings ofApp(const QString &appName);

// {"count", "folder", "type"}, with -1 and "" where nothing is registered.
QJsonObject toJson(const LocalDumpSettings &settings);
// Anything registered at all (Windows Error Reporting then writes dumps of the executable).
bool registered(const LocalDumpSettings &settings);
// Whether a process's dump is kept beside its report: when its application's local dumps ask for
// full dumps (type 2) or none are registered; after a smaller type it is removed once read.
bool keepsDump(const LocalDumpSettings &settings);

} // namespace LocalDumps

#endif // KIVCRASHHANDLER_HOST_LOCALDUMPS_H
