#ifndef OSTREL_PEERCHECK_H
#define OSTREL_PEERCHECK_H

#include <QString>
#include <QtGlobal>

// Who is at the other end of a connected local socket, as the operating system tells it (not as the
// peer says): on Linux the socket's peer credentials (SO_PEERCRED), on Windows the process that
// serves or opened the named pipe and the user of its access token. Shared by the library, which
// writes to a crash handler only when it runs as the host's own user, and by the reference crash
// handler, which serves only its own host.
struct LocalPeer
{
    // The peer runs as this process's user: the same effective uid, or the same token user SID.
    // False also when the credentials cannot be read: a peer that cannot be identified is not ours.
    bool sameUser = false;
    // The peer's process id where the platform tells it, else 0.
    qint64 pid = 0;
    // The peer's user for log lines and journals ("uid 1001", "SID S-1-5-21-..."), or why it is
    // unknown.
    QString user;
};

// `descriptor` is QLocalSocket::socketDescriptor() of a connected socket (a file descriptor on
// Unix, the pipe handle on Windows). Never blocks.
LocalPeer localSocketPeer(qintptr descriptor);

#endif // OSTREL_PEERCHECK_H
