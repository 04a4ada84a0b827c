#include "protocol/serverguard.h"

#include <QLocalServer>

#include <windows.h>

// A named pipe: no file, nothing left behind when its server ends. Qt's user-only access
// (QLocalServer::UserAccessOption) gives the pipe a DACL that lets only this user open it or add
// instances to it, so a live handler of this user is found by the probe, and a pipe of another user
// that this user may not open can only be another user's.
QString serverPath(const QString &name)
{
    return QStringLiteral("\\\\.\\pipe\\") + name;
}

NameClaim unservedName(const QString &name, const QLocalServer *server)
{
    NameClaim claim;
    const QString path = serverPath(name);
    const HANDLE pipe = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                                    0, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD error = pipe == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (pipe != INVALID_HANDLE_VALUE)
        CloseHandle(pipe); // a server came up meanwhile: this handler's listening simply failed
    if (error == ERROR_ACCESS_DENIED) {
        claim.outcome = NameClaim::Squatted;
        // The pipe's owner is out of reach too: reading its security needs access the DACL refuses.
        claim.holder = QStringLiteral("unknown (the pipe refuses this user)");
        claim.reason = QStringLiteral("served by another user: ") + server->errorString();
    } else {
        claim.reason = server->errorString();
    }
    return claim;
}

quint64 serverInstanceId(const QString &fullServerName)
{
    Q_UNUSED(fullServerName);
    return 0;
}
