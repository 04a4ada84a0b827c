#include "peercheck.h"

#include <QByteArray>

#include <windows.h>
#include <sddl.h>

namespace {

QString lastError(const char *what)
{
    return QStringLiteral("%1 failed: error %2").arg(QLatin1String(what)).arg(GetLastError());
}

// The TOKEN_USER of a process's primary token, in `buffer`; false with *error set on failure.
bool tokenUser(HANDLE process, QByteArray *buffer, QString *error)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        *error = lastError("OpenProcessToken");
        return false;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    buffer->resize(int(size));
    const bool ok = size > 0 && GetTokenInformation(token, TokenUser, buffer->data(), size, &size);
    if (!ok)
        *error = lastError("GetTokenInformation");
    CloseHandle(token);
    return ok;
}

PSID sidOf(const QByteArray &tokenUserBuffer)
{
    return reinterpret_cast<const TOKEN_USER *>(tokenUserBuffer.constData())->User.Sid;
}

QString sidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return QStringLiteral("SID (unprintable)");
    const QString result = QStringLiteral("SID ") + QString::fromWCharArray(text);
    LocalFree(text);
    return result;
}

} // namespace

// The pipe handle may be either end. On the client end the server's process is asked for; on the
// server end (where the server's process is this one) the client's. A process that cannot be
// opened or whose token cannot be read is not taken as ours.
LocalPeer localSocketPeer(qintptr descriptor)
{
    LocalPeer peer;
    const HANDLE pipe = reinterpret_cast<HANDLE>(descriptor);
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe, &pid)) {
        peer.user = QStringLiteral("unknown (%1)").arg(lastError("GetNamedPipeServerProcessId"));
        return peer;
    }
    if (pid == GetCurrentProcessId() && !GetNamedPipeClientProcessId(pipe, &pid)) {
        peer.user = QStringLiteral("unknown (%1)").arg(lastError("GetNamedPipeClientProcessId"));
        return peer;
    }
    peer.pid = pid;

    QByteArray own;
    QString error;
    if (!tokenUser(GetCurrentProcess(), &own, &error)) {
        peer.user = QStringLiteral("unknown (own token: %1)").arg(error);
        return peer;
    }
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) {
        // Typically another user's process: its token is out of reach.
        peer.user = QStringLiteral("unknown (pid %1: %2)").arg(pid).arg(lastError("OpenProcess"));
        return peer;
    }
    QByteArray theirs;
    const bool ok = tokenUser(process, &theirs, &error);
    CloseHandle(process);
    if (!ok) {
        peer.user = QStringLiteral("unknown (pid %1: %2)").arg(pid).arg(error);
        return peer;
    }
    peer.sameUser = EqualSid(sidOf(own), sidOf(theirs));
    peer.user = sidText(sidOf(theirs));
    return peer;
}
