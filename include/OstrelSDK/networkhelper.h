#ifndef OSTRELSDK_NETWORKHELPER_H
#define OSTRELSDK_NETWORKHELPER_H

#include <OstrelSDK/ostrelsdk_export.h>

#include <QJsonObject>
#include <QObject>
#include <QString>

class QNetworkReply;

/*
 * Turns one finished network reply into one outcome, emitted as networkFinish():
 *   - success: true, the body's JSON object (empty when the body is a JSON array), message "";
 *   - the body does not parse as JSON (an empty body included): false, {}, "json format is error.";
 *   - the reply was aborted (OperationCanceledError, e.g. by ReplyTimeout): false, {}, "timeout";
 *   - any other network or HTTP error: false, {}, the reply's errorString().
 * Connect a reply's finished() signal to onFinished(); the reply is deleted (deferred) once evaluated.
 * One helper may serve several replies, one after another or at once; it keeps no state.
 */
class OSTRELSDK_EXPORT NetWorkHelper : public QObject
{
    Q_OBJECT

public:
    explicit NetWorkHelper(QObject *parent = nullptr);
    ~NetWorkHelper() override;

signals:
    void networkFinish(bool success, QJsonObject result, QString message);

private slots:
    void onFinished();
};

/*
 * Aborts a reply that is still running when its time runs out, so that it finishes with the
 * cancellation error that NetWorkHelper reports as "timeout". It becomes a child of the reply: it
 * never outlives the reply and never touches a deleted one.
 */
class OSTRELSDK_EXPORT ReplyTimeout : public QObject
{
    Q_OBJECT

public:
    ReplyTimeout(QNetworkReply *reply, int timeoutMs);
    ~ReplyTimeout() override;

private slots:
    void onTimeOut();

private:
    QNetworkReply *m_reply = nullptr;
};

#endif // OSTRELSDK_NETWORKHELPER_H
