#include "peercheck.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

// SO_PEERCRED gives the credentials the peer had when it called connect(2) or listen(2); they
// cannot be forged by the peer and do not change when it later changes its own ids.
LocalPeer localSocketPeer(qintptr descriptor)
{
    LocalPeer peer;
    struct ucred cred;
    socklen_t size = sizeof(cred);
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof(cred)) {
        peer.user = QStringLiteral("unknown (no peer credentials: %1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return peer;
    }
    peer.sameUser = cred.uid == ::geteuid();
    peer.pid = cred.pid; // 0 when the peer lives in a pid namespace this one cannot see
    peer.user = QStringLiteral("uid %1").arg(cred.uid);
    return peer;
}
