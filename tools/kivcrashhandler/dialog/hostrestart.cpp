#include "hostrestart.h"

#include <QFileInfo>
#include <QProcess>

namespace HostRestart {

qint64 start(const QString &executable, const QStringList &arguments, const QString &workingFolder,
             QString *error, QString *note)
{
    const QFileInfo program(executable);
    if (executable.isEmpty() || !program.isFile() || !program.isExecutable()) {
        *error = executable.isEmpty() ? QStringLiteral("the host's executable is not known")
                                      : QStringLiteral("the host's executable %1 is gone").arg(executable);
        return -1;
    }
    QString folder = workingFolder;
    if (!QFileInfo(folder).isDir()) {
        folder = program.absolutePath();
        *note = workingFolder.isEmpty()
                ? QStringLiteral("the working folder is not known; started in %1").arg(folder)
                : QStringLiteral("the working folder \"%1\" is gone; started in %2").arg(workingFolder, folder);
    }
    qint64 pid = -1;
    if (!QProcess::startDetached(program.absoluteFilePath(), arguments, folder, &pid)) {
        *error = QStringLiteral("%1 could not be started").arg(executable);
        return -1;
    }
    return pid;
}

} // namespace HostRestart
