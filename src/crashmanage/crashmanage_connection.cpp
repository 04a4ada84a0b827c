// The link to the crash handler: one QLocalSocket, a fixed retry and relaunch budget, and the
// framing of every handler message.
//
// Wire format, library to crash handler: each handler message is its UTF-8 text followed by the
// byte 0x24 ('$'); no header, no length, no escaping; frames follow one another with nothing in
// between. After every successful connection the stored cloud configuration frame goes first (a lone
// 0x24 when none is stored), then, once per process, the login frame. Crash handler to library:
// optional text lines separated by CR, which are only logged.

#include "crashmanage/crashmanage.h"

#include "crashmanage/handleroutput.h"
#include "crashmanage/handlerpolicy.h"
#include "peercheck.h"
#include "qtcompat.h"
#include "wire.h"
#include "sdk/sdklog.h"

#include <QByteArray>
#include <QIODevice>
#include <QTextStream>
#include <QTimer>

namespace {

// The reconnection budget is per process, not per connection: a successful connection does not
// reset it, so a handler that keeps dying cannot make the host retry for ever.
int s_connectRetries = 0;
int s_handlerRestarts = 0;

} // namespace

QStringList handlerOutputLines(const QByteArray &data)
{
    QStringList lines;
    if (!data.contains(Wire::kOutputLineSeparator))
        return lines;

    int from = 0;
    while (from < data.size()) {
        int end = data.indexOf(Wire::kOutputLineSeparator, from);
        end = (end < 0) ? data.size() : end + 1;
        const QByteArray piece = data.mid(from, end - from).trimmed();
        from = end;
        if (piece.isEmpty())
            continue;
        // Non-ASCII output is decoded as local 8-bit text, up to a NUL; only ASCII lines are promised
        // unchanged.
        const QString line = QtCompat::fromLocal8BitUpToNul(piece);
        if (!line.isEmpty())
            lines.append(line);
    }
    return lines;
}

void CrashManage::onConnectToServer()
{
    if (!m_socket) {
        m_socket = new QLocalSocket(this);
        const bool ok = connect(m_socket, SIGNAL(connected()), this, SLOT(onConnected()))
                && connect(m_socket, SIGNAL(disconnected()), this, SLOT(onDisconnected()))
                && connect(m_socket, SIGNAL(readyRead()), this, SLOT(onSocketReadyReadHandler()))
                && connect(m_socket, SIGNAL(errorOccurred(QLocalSocket::LocalSocketError)), this,
                           SLOT(onSocketErrorHandler(QLocalSocket::LocalSocketError)));
        Q_ASSERT(ok);
        Q_UNUSED(ok);
    }
    // The state is deliberately not looked at: Qt reports an attempt on a busy socket as an error,
    // which goes through the same retry policy as any other failure.
    m_socket->connectToServer(QLatin1String(Wire::kServerNamePrefix) + m_pid, QIODevice::ReadWrite);
    SDK_LOG_LINE(false);
}

// Runs once for every failure report (each error and each disconnect).
void CrashManage::tryConnectHandler()
{
    SDK_LOG_LINE(false) << "try connect handler: " << s_connectRetries << s_handlerRestarts;

    if (s_connectRetries < HandlerPolicy::kMaxConnectRetries) {
        ++s_connectRetries;
        QTimer::singleShot(HandlerPolicy::kRetryDelayMs, this, SLOT(onConnectToServer()));
        return;
    }
    if (s_handlerRestarts < HandlerPolicy::kMaxHandlerRestarts) {
        s_connectRetries = 0;
        ++s_handlerRestarts;
        startProcessHandler();
        return;
    }
    // Budget spent: no further attempt for the rest of the process.
}

// Runs inside connectToServer, before any byte can be written: the server name is predictable, so
// another local user may have taken it first. A server of another user (or one whose user cannot be
// told) is left at once without a byte and counts as one failed attempt, logged and retried like any
// other; its uid or SID is named in one extra line.
void CrashManage::onConnected()
{
    const LocalPeer peer = localSocketPeer(m_socket->socketDescriptor());
    if (!peer.sameUser) {
        sdkLog(true, Q_FUNC_INFO, "crash handler server belongs to another user:", peer.user);
        // Quietly: the drop must not be reported a second time as a disconnect.
        m_socket->blockSignals(true);
        m_socket->abort();
        m_socket->blockSignals(false);
        onSocketErrorHandler(QLocalSocket::SocketAccessError);
        return;
    }
    // The connect-time messages leave on the next pass of the event loop.
    QTimer::singleShot(0, this, SLOT(onSendInitMessage()));
}

void CrashManage::onSendInitMessage()
{
    sendCloudInfoConfig();
    sendClientLoginInfo();
}

void CrashManage::sendCloudInfoConfig()
{
    sendHandlerMessage(m_cloudConfigMessage.toUtf8());
    sdkLog(false, Q_FUNC_INFO, "response:", m_cloudConfigMessage);
}

// Sends the login message at most once per process. No connection check of its own: a socket that
// exists but is not connected still counts, and the login is then not repeated.
void CrashManage::sendClientLoginInfo()
{
    if (m_userId.isEmpty() || m_loginSent)
        return;

    const QString message = Wire::clientLoginMessage(m_userId, m_liveId, false);
    if (sendHandlerMessage(message.toUtf8()))
        m_loginSent = true;
    sdkLog(false, Q_FUNC_INFO, "sendClientLoginInfo, response:", message, m_loginSent);
}

// Writes one frame. True when a socket exists (the frame was handed to it), false otherwise. Does
// not look at the socket's state and does not wait for the bytes to leave.
bool CrashManage::sendHandlerMessage(QByteArray message)
{
    message.append(Wire::kFrameTerminator);
    if (!m_socket)
        return false;
    m_socket->write(message);
    m_socket->flush();
    return true;
}

void CrashManage::onSocketErrorHandler(QLocalSocket::LocalSocketError socketError)
{
    sdkLog(true, Q_FUNC_INFO, "socket error:", socketError);
    tryConnectHandler();
}

void CrashManage::onDisconnected()
{
    SDK_LOG_LINE(false);
    tryConnectHandler();
}

// Logs what the crash handler writes back, one debug line per CR-separated piece. Nothing read
// here changes any state, and nothing carries over between notifications.
void CrashManage::onSocketReadyReadHandler()
{
    QIODevice *device = qobject_cast<QIODevice *>(sender());
    if (!device)
        return;

    QTextStream stream(device);
    const QStringList lines = handlerOutputLines(stream.readAll().toUtf8());
    for (const QString &line : lines)
        plainDebug() << QString(QLatin1String("[OstrelSDk] socket output:") + line);
}
