#include <OstrelSDK/networkhelper.h>

#include "sdk/sdklog.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QNetworkReply>
#include <QTimer>

NetWorkHelper::NetWorkHelper(QObject *parent)
    : QObject(parent)
{
}

NetWorkHelper::~NetWorkHelper() = default;

// Must run through a signal of the reply: the reply is the sender.
void NetWorkHelper::onFinished()
{
    sdkLog(false, Q_FUNC_INFO, "Network Reply onFinished.");

    QNetworkReply *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply) {
        sdkLog(true, Q_FUNC_INFO, "Network Reply Invalid.");
        return;
    }
    // Still readable until control returns to the event loop.
    reply->deleteLater();

    bool success = false;
    QJsonObject result;
    QString message;

    const QNetworkReply::NetworkError code = reply->error();
    if (code == QNetworkReply::NoError) {
        const QByteArray body = reply->readAll();
        sdkLog(false, Q_FUNC_INFO, "Post Success data:", body);
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            message = QStringLiteral("json format is error.");
            SDK_LOG_LINE(true) << message;
        } else {
            success = true;
            result = document.object();
        }
    } else if (code == QNetworkReply::OperationCanceledError) {
        message = QStringLiteral("timeout");
        sdkLog(true, Q_FUNC_INFO, "Request timeout");
    } else {
        message = reply->errorString();
        sdkLog(true, Q_FUNC_INFO, "Request failed code:", static_cast<int>(code), message);
    }

    emit networkFinish(success, result, message);
}

ReplyTimeout::ReplyTimeout(QNetworkReply *reply, int timeoutMs)
    : QObject(reply)
    , m_reply(reply)
{
    QTimer::singleShot(timeoutMs, this, SLOT(onTimeOut()));
}

ReplyTimeout::~ReplyTimeout() = default;

void ReplyTimeout::onTimeOut()
{
    if (!m_reply || !m_reply->isRunning())
        return;
    SDK_LOG_LINE(false);
    m_reply->abort();
}
