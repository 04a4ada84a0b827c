#include "protocol/serverguard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>

#include <sys/stat.h>

// Where Qt puts the socket file of a plain name.
QString serverPath(const QString &name)
{
    return QDir(QDir::tempPath()).absoluteFilePath(name);
}

NameClaim unservedName(const QString &name, const QLocalServer *server)
{
    NameClaim claim;
    const QFileInfo file(serverPath(name));
    if (file.exists() || file.isSymLink()) {
        // A file nobody answers on that this user may not remove (sticky temporary folder).
        claim.outcome = NameClaim::Squatted;
        claim.holder = QStringLiteral("uid %1").arg(file.ownerId());
        claim.reason = QStringLiteral("left behind by another user and cannot be removed: ") + server->errorString();
    } else {
        claim.reason = server->errorString();
    }
    return claim;
}

quint64 serverInstanceId(const QString &fullServerName)
{
    struct stat st;
    return ::stat(QFile::encodeName(fullServerName).constData(), &st) == 0 ? quint64(st.st_ino) : 0;
}
