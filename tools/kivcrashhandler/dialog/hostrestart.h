#ifndef KIVCRASHHANDLER_HOSTRESTART_H
#define KIVCRASHHANDLER_HOSTRESTART_H

#include <QString>
#include <QStringList>

// Starts a crashed host again, detached from the handler (it outlives the handler and is not its
// child), with the executable, arguments and working folder recorded while it ran. It runs as the
// handler's user, which is the host's (the handler serves only its own user's host), with the
// handler's environment, which it inherited from the host.
namespace HostRestart {

// The new process's id, or -1 with *error. A working folder that is gone is replaced by the
// executable's folder (*note says so); a missing executable is refused.
qint64 start(const QString &executable, const QStringList &arguments, const QString &workingFolder,
             QString *error, QString *note);

} // namespace HostRestart

#endif // KIVCRASHHANDLER_HOSTRESTART_H
