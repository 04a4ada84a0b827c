// Host-triggered handler messages: a command word and "@"-separated fields, inserted unchanged
// (no escaping), written behind the connection guard. Nothing is queued: a message the guard
// refuses is lost; only the cloud configuration and the login fields are kept for the next
// connection.

#include "crashmanage/crashmanage.h"

#include "sdk/sdklog.h"
#include "wire.h"

bool CrashManage::connectionReady(const char *caller) const
{
    if (!m_socket) {
        sdkLog(true, caller, "client pointer invalid.");
        return false;
    }
    if (m_socket->state() != QLocalSocket::ConnectedState) {
        sdkLog(true, caller, "client is not connected.", m_socket->state());
        return false;
    }
    return true;
}

// Writes a message that has passed the guard and echoes it. Callers build the text only after the
// guard: a refused message costs the guard alone (and, with logging on, its log line).
void CrashManage::sendCheckedMessage(const char *caller, const QString &message)
{
    sendHandlerMessage(message.toUtf8());
    sdkLog(false, caller, "response:", message);
}

void CrashManage::clientLogin(const QString &userId)
{
    if (userId.isEmpty()) {
        sdkLog(true, Q_FUNC_INFO, "User Id is Empty.");
        return;
    }
    m_userId = userId;
    sendClientLoginInfo();
    sdkLog(false, Q_FUNC_INFO, "client clientLogin");
}

void CrashManage::enterLive(const QString &liveId, bool liveFlag)
{
    if (liveId.isEmpty()) {
        sdkLog(true, Q_FUNC_INFO, "Live Id is Empty.");
        m_liveId = QStringLiteral("empty");
    } else {
        m_liveId = liveId;
    }
    if (m_userId.isEmpty())
        sdkLog(true, Q_FUNC_INFO, "User Id is Empty.");

    if (!connectionReady(Q_FUNC_INFO))
        return;
    sendCheckedMessage(Q_FUNC_INFO,
                       Wire::clientLoginMessage(m_userId, m_liveId, liveFlag));
}

void CrashManage::checkExceptionInfos(const QString &info1, const QString &info2)
{
    if (!connectionReady(Q_FUNC_INFO))
        return;
    sendCheckedMessage(Q_FUNC_INFO, QLatin1String("ExceptionCheck@") + info1 + QLatin1Char('@') + info2);
}

void CrashManage::streamNode(const QString &node, const QString &nodeDetail)
{
    if (!connectionReady(Q_FUNC_INFO))
        return;
    sendCheckedMessage(Q_FUNC_INFO, QLatin1String("StreamNode@") + node + QLatin1Char('@') + nodeDetail);
}

void CrashManage::exitClient()
{
    if (!connectionReady(Q_FUNC_INFO))
        return;
    sendCheckedMessage(Q_FUNC_INFO, QStringLiteral("ExitClient"));
}

// Only stored: the text goes out with the connect-time messages of every later connection.
void CrashManage::setCloudInfoConfig(const QString &config1, const QString &config2)
{
    m_cloudConfigMessage = QLatin1String("cloudConfig@") + config1 + QLatin1Char('@') + config2;
    sdkLog(false, Q_FUNC_INFO, "response:", m_cloudConfigMessage);
}
