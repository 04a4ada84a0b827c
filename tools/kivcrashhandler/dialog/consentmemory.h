#ifndef KIVCRASHHANDLER_CONSENTMEMORY_H
#define KIVCRASHHANDLER_CONSENTMEMORY_H

#include <QString>

// "Always send reports for <App>", remembered per application and user in the user's settings
// (organisation "Ostrel", application "KivCrashHandler": ~/.config/Ostrel/KivCrashHandler.conf on
// Linux, HKEY_CURRENT_USER\Software\Ostrel\KivCrashHandler on Windows), group "AlwaysSend", one key
// per application name ("%", "/" and "\" percent-encoded, so that any name is one key). It only
// stands in for the user's answer to "ask": the host's own "upload=off" is still obeyed first.
namespace ConsentMemory {

bool alwaysSend(const QString &appName);
// False with *error when the settings cannot be written.
bool setAlwaysSend(const QString &appName, bool always, QString *error);

} // namespace ConsentMemory

#endif // KIVCRASHHANDLER_CONSENTMEMORY_H
