#include "protocol/serverguard.h"

#include "peercheck.h"
#include "storage/dumpfolder.h"
#include "storage/privatefiles.h"

#include <QDateTime>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>

namespace {

// The peer of a live server on the name, or a peer with no pid and an empty user when none answers.
bool probe(const QString &name, LocalPeer *peer)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(200))
        return false;
    *peer = localSocketPeer(socket.socketDescriptor());
    socket.abort(); // nothing is ever written to a probed server
    return true;
}

NameClaim fromLiveServer(const LocalPeer &peer)
{
    NameClaim claim;
    if (peer.sameUser) {
        claim.outcome = NameClaim::HeldBySameUser;
        return claim;
    }
    claim.outcome = NameClaim::Squatted;
    claim.holder = peer.user;
    claim.holderPid = peer.pid;
    claim.reason = QStringLiteral("served by another user");
    return claim;
}

} // namespace

NameClaim claimServerName(QLocalServer *server, const QString &name)
{
    NameClaim claim;
    LocalPeer peer;
    if (probe(name, &peer)) {
        claim = fromLiveServer(peer);
    } else {
        QLocalServer::removeServer(name); // a stale socket file on Unix; nothing on Windows
        if (server->listen(name))
            claim.outcome = NameClaim::Listening;
        else if (probe(name, &peer))
            claim = fromLiveServer(peer); // lost a race with a server started at the same moment
        else
            claim = unservedName(name, server);
    }
    claim.path = serverPath(name);
    return claim;
}

QJsonObject clientRefusal(QLocalSocket *socket, qint64 hostPid)
{
    const LocalPeer peer = localSocketPeer(socket->socketDescriptor());
    QString reason;
    if (!peer.sameUser)
        reason = QStringLiteral("another user");
    else if (peer.pid > 0 && peer.pid != hostPid)
        reason = QStringLiteral("not the host");
    if (reason.isEmpty())
        return QJsonObject();
    return QJsonObject {
        {QStringLiteral("user"), peer.user},
        {QStringLiteral("pid"), double(peer.pid)},
        {QStringLiteral("reason"), reason},
    };
}

NameWatch::NameWatch(const HandlerArgs &args, QLocalServer *server, const NameClaim &squatted, QObject *parent)
    : QObject(parent)
    , m_name(args.serverName())
    , m_server(server)
    , m_lock(new QLockFile(DumpFolder::watchLockPath(args)))
    , m_timer(new QTimer(this))
{
    m_description = QJsonObject {
        {QStringLiteral("server"), squatted.path},
        {QStringLiteral("holder"), squatted.holder},
        {QStringLiteral("holderPid"), double(squatted.holderPid)},
        {QStringLiteral("reason"), squatted.reason},
        {QStringLiteral("since"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
    };
    // Made as the handler makes it (0700); whether that works shows in the handler's own choice.
    bool created = false;
    int mode = 0;
    QString error;
    PrivateFiles::ensureFolder(args.dumpFolder, &created, &mode, &error);
    // A lock that cannot be made at all (an unwritable dump folder) does not stop the watch: only
    // another live watcher does. A lock left by a dead handler is taken over.
    m_firstWatcher = m_lock->tryLock(0) || m_lock->error() != QLockFile::LockFailedError;

    m_timer->setInterval(kRetryMs);
    const bool ok = connect(m_timer, SIGNAL(timeout()), this, SLOT(retry()));
    Q_ASSERT(ok);
    Q_UNUSED(ok);
    if (m_firstWatcher)
        m_timer->start();
}

NameWatch::~NameWatch()
{
    delete m_lock;
}

void NameWatch::retry()
{
    const NameClaim claim = claimServerName(m_server, m_name);
    if (claim.outcome != NameClaim::Listening && claim.outcome != NameClaim::HeldBySameUser)
        return;
    m_timer->stop();
    m_lock->unlock();
    if (claim.outcome == NameClaim::Listening)
        emit reclaimed();
    else
        emit superseded();
}
