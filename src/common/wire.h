#ifndef OSTREL_WIRE_H
#define OSTREL_WIRE_H

#include <QString>

// What the library, the crash handler and the registration tool must agree on, kept once.
namespace Wire {

// Local server served by the crash handler: this prefix followed by the host's process id.
constexpr char kServerNamePrefix[] = "Kiv_Crash_Handler_";
// Every handler message travels as UTF-8 text followed by this byte.
constexpr char kFrameTerminator = '$';
// The crash handler's own output is read as lines separated by this byte.
constexpr char kOutputLineSeparator = '\r';
// The two programs the library launches from the host's application directory.
constexpr char kHandlerProgram[] = "KivCrashHandler.exe";
constexpr char kRegistrationProgram[] = "KivRegWER.exe";

// "Kiv_Crash_Handler_<pid>"
QString serverName(qint64 hostPid);

// The login message's text: "ClientLogin@<user id>@<live id>@<0 or 1>".
QString clientLoginMessage(const QString &userId, const QString &liveId, bool liveFlag);

} // namespace Wire

#endif // OSTREL_WIRE_H
