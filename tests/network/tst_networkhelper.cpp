// NetWorkHelper and ReplyTimeout against a real HTTP/1.1 server on 127.0.0.1: one outcome per reply,
// the SDK log lines that go with it, and the deferred deletion of every reply.

#include "logcapture.h"
#include "sdk/sdklog.h"

#include <OstrelSDK/networkhelper.h>

#include <QtNetwork>
#include <QtTest>

namespace {

const int kWait = 20000;
const QString kFinished = QStringLiteral("[OstrelSDk] [ void NetWorkHelper::onFinished() ] ");

QByteArray httpResponse(const char *status, const QByteArray &body)
{
    return QByteArray("HTTP/1.1 ") + status + "\r\nContent-Type: application/json\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace

class tst_NetworkHelper : public QObject
{
    Q_OBJECT

public slots:
    // The server answers each GET with a canned response chosen by its path; "/hang..." never gets one.
    void onNewConnection()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection())
            connect(socket, SIGNAL(readyRead()), this, SLOT(onReadyRead()));
    }
    void onReadyRead()
    {
        static const QHash<QByteArray, QByteArray> responses{
            {"/object", httpResponse("200 OK", "{\"id\":7,\"name\":\"crash\"}")},
            {"/array", httpResponse("200 OK", "[1,2]")},
            {"/empty", httpResponse("200 OK", QByteArray())},
            {"/missing", httpResponse("404 Not Found", "{}")},
            {"/broken", httpResponse("500 Internal Server Error", "{}")},
        };
        QTcpSocket *socket = qobject_cast<QTcpSocket *>(sender());
        const QByteArray request = socket->peek(socket->bytesAvailable()); // read on when complete
        if (!request.contains("\r\n\r\n"))
            return;
        ++m_requests;
        const QByteArray path = request.split(' ').value(1);
        if (responses.contains(path)) {
            socket->write(responses.value(path));
            socket->disconnectFromHost();
        }
    }
    // Records each outcome as "<success> <result as compact JSON> <message>", and the reply's error string
    // at that moment: null when the reply is already deleted (its deletion must be deferred).
    void onNetworkFinish(bool success, const QJsonObject &result, const QString &message)
    {
        m_outcomes.append(QLatin1String(success ? "true " : "false ") + QJsonDocument(result).toJson(QJsonDocument::Compact)
                          + ' ' + message);
        m_errorAtEmit = m_reply ? m_reply->errorString() : QString();
    }
    void armTimeOut() { m_timeout = new ReplyTimeout(qobject_cast<QNetworkReply *>(sender()), 1); }

private slots:
    void initTestCase()
    {
        m_nam.setProxy(QNetworkProxy::NoProxy); // never through an http_proxy of the environment
        connect(&m_server, SIGNAL(newConnection()), this, SLOT(onNewConnection()));
        connect(&m_helper, SIGNAL(networkFinish(bool,QJsonObject,QString)), this, SLOT(onNetworkFinish(bool,QJsonObject,QString)));
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
    }
    void init()
    {
        m_log.reset(new LogCapture);
        m_outcomes.clear();
    }
    void cleanup()
    {
        sdkSetLogEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(m_nam.findChildren<QNetworkReply *>().isEmpty(), kWait); // all deleted
        m_log.reset();
    }
    void finishedReplyGivesOneOutcome_data();
    void finishedReplyGivesOneOutcome();
    void slotsWithNothingToDo();
    void oneHelperServesSeveralRepliesSilently();

private:
    QNetworkReply *get(const char *path, bool evaluated = true)
    {
        QNetworkReply *reply = m_nam.get(QNetworkRequest("http://127.0.0.1:" + QString::number(m_server.serverPort()) + path));
        if (evaluated)
            connect(reply, SIGNAL(finished()), &m_helper, SLOT(onFinished()));
        return reply;
    }
    // The captured lines: "!" before a critical one, "?" before one of neither SDK level, and the
    // onFinished prefix cut off.
    QStringList logged() const
    {
        QStringList out;
        for (const LogCapture::Entry &e : m_log->entries()) {
            const QString text = e.text.startsWith(kFinished) ? e.text.mid(kFinished.size()) : e.text;
            out.append(QLatin1String(e.type == QtCriticalMsg ? "!" : e.type == QtInfoMsg ? "" : "?") + text);
        }
        return out;
    }

    QTcpServer m_server; // owns the accepted sockets
    int m_requests = 0;  // complete requests received
    QNetworkAccessManager m_nam;
    QScopedPointer<LogCapture> m_log;
    NetWorkHelper m_helper; // one for all tests: it keeps no state between replies
    QStringList m_outcomes;
    QPointer<QNetworkReply> m_reply;
    QString m_errorAtEmit;
    QPointer<ReplyTimeout> m_timeout;
};

void tst_NetworkHelper::finishedReplyGivesOneOutcome_data()
{
    QTest::addColumn<QByteArray>("path"); // "/hang...": ended by a ReplyTimeout or by the caller's abort
    QTest::addColumn<QString>("outcome"); // as onNetworkFinish() records it; %1: the reply's error string
    QTest::addColumn<QStringList>("log"); // as logged() gives it, after the time-out's line if any

    auto row = [](const char *name, const char *path, const char *outcome, const QStringList &log) {
        QTest::newRow(name) << QByteArray(path) << QString(outcome) << QStringList("Network Reply onFinished.") + log;
    };
    row("object", "/object", "true {\"id\":7,\"name\":\"crash\"} ",
        {"Post Success data: \"{\\\"id\\\":7,\\\"name\\\":\\\"crash\\\"}\""});
    row("array", "/array", "true {} ", {"Post Success data: \"[1,2]\""});
    row("empty body", "/empty", "false {} json format is error.", {"Post Success data: \"\"", "!\"json format is error.\""});
    // 203 and 401: QNetworkReply::ContentNotFoundError and InternalServerError.
    row("not found", "/missing", "false {} %1", {"!Request failed code: 203 \"%1\""});
    row("server error", "/broken", "false {} %1", {"!Request failed code: 401 \"%1\""});
    row("time-out", "/hang-timeout", "false {} timeout", {"!Request timeout"});
    row("aborted by caller", "/hang-abort", "false {} timeout", {"!Request timeout"});
}

void tst_NetworkHelper::finishedReplyGivesOneOutcome()
{
    QFETCH(QByteArray, path);
    QFETCH(QString, outcome);
    QFETCH(QStringList, log);

    const int before = m_requests;
    m_reply = get(path.constData());
    QVERIFY(connect(m_reply, SIGNAL(finished()), this, SLOT(armTimeOut()))); // goes with the reply, never fires
    if (path.startsWith("/hang")) {
        // Only once the server holds the request, so the reply really is one left unanswered.
        QTRY_COMPARE_WITH_TIMEOUT(m_requests, before + 1, kWait);
        if (path.endsWith("abort")) {
            m_reply->abort();
        } else {
            new ReplyTimeout(m_reply, 100);
            log.prepend(QStringLiteral("[OstrelSDk] [ void ReplyTimeout::onTimeOut() ]"));
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_outcomes.size(), 1, kWait);
    QTRY_VERIFY_WITH_TIMEOUT(m_reply.isNull(), kWait);
    QVERIFY(m_timeout.isNull());
    QVERIFY(!m_errorAtEmit.isEmpty());
    QCOMPARE(m_outcomes, QStringList(outcome.replace("%1", m_errorAtEmit)));
    QCOMPARE(logged(), log.replaceInStrings("%1", m_errorAtEmit));
}

void tst_NetworkHelper::slotsWithNothingToDo()
{
    // onFinished without a reply as sender: none at all, then one of another class.
    QVERIFY(QMetaObject::invokeMethod(&m_helper, "onFinished", Qt::DirectConnection));
    QPointer<QObject> other = new QObject(this);
    QVERIFY(connect(other, SIGNAL(objectNameChanged(QString)), &m_helper, SLOT(onFinished())));
    other->setObjectName("not a reply");
    // onTimeOut on a reply that has finished.
    QNetworkReply *kept = get("/object", false);
    QSignalSpy finished(kept, SIGNAL(finished()));
    QVERIFY(finished.wait(kWait));
    QVERIFY(QMetaObject::invokeMethod(new ReplyTimeout(kept, kWait), "onTimeOut"));
    QCOMPARE(kept->error(), QNetworkReply::NoError);
    delete kept;

    QVERIFY(other); // not deleted, though the event loop has run since
    QCOMPARE(m_outcomes, QStringList());
    const QStringList pair{"Network Reply onFinished.", "!Network Reply Invalid."};
    QCOMPARE(logged(), pair + pair);
}

void tst_NetworkHelper::oneHelperServesSeveralRepliesSilently()
{
    sdkSetLogEnabled(false);
    for (const char *path : {"/object", "/missing", "/empty", "/hang"})
        m_reply = get(path);
    new ReplyTimeout(m_reply, 100);
    QVERIFY(QMetaObject::invokeMethod(&m_helper, "onFinished", Qt::DirectConnection));
    get("/array");
    QTRY_COMPARE_WITH_TIMEOUT(m_outcomes.size(), 5, kWait);
    m_outcomes.sort();
    QVERIFY(m_outcomes.takeFirst().startsWith("false {} Error transferring"));
    QCOMPARE(m_outcomes, (QStringList{"false {} json format is error.", "false {} timeout", "true {\"id\":7,\"name\":\"crash\"} ",
                                    "true {} "}));
    QCOMPARE(logged(), QStringList());
}

QTEST_GUILESS_MAIN(tst_NetworkHelper)
#include "tst_networkhelper.moc"
