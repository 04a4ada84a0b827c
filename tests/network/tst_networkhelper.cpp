// NetWorkHelper and ReplyTimeout against a real HTTP/1.1 server on 127.0.0.1: one outcome per reply,
// the SDK log lines that go with it, and the deferred, single deletion of every reply.

#include "logcapture.h"
#include "sdk/sdklog.h"

#include <OstrelSDK/networkhelper.h>

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

namespace {

const int kWait = 20000;
const QString kFinished = QStringLiteral("[OstrelSDk] [ void NetWorkHelper::onFinished() ] ");
const QString kTimeOutLine = QStringLiteral("[OstrelSDk] [ void ReplyTimeout::onTimeOut() ]");

QByteArray httpResponse(int status, const char *reason, const QByteArray &body)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
        + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nConnection: close\r\n\r\n" + body;
}

// Flushes deleteLater() the way the event loop does when control returns to it.
void runDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

// Answers each GET with a canned response chosen by its path; "/hang" is read and never answered.
class HttpServer : public QObject
{
    Q_OBJECT

public:
    bool listen()
    {
        connect(&m_server, SIGNAL(newConnection()), this, SLOT(onNewConnection()));
        return m_server.listen(QHostAddress::LocalHost, 0);
    }
    QUrl url(const QString &path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }
    QStringList paths; // every request path, in arrival order

private slots:
    void onNewConnection()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection())
            connect(socket, SIGNAL(readyRead()), this, SLOT(onReadyRead()));
    }
    void onReadyRead()
    {
        QTcpSocket *socket = qobject_cast<QTcpSocket *>(sender());
        const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", request);
        if (!request.contains("\r\n\r\n"))
            return;
        const QByteArray path = request.split(' ').value(1);
        paths.append(QString::fromLatin1(path));
        QByteArray response;
        if (path == "/object")
            response = httpResponse(200, "OK", "{\"id\":7,\"name\":\"crash\"}");
        else if (path == "/array")
            response = httpResponse(200, "OK", "[1,2]");
        else if (path == "/empty")
            response = httpResponse(200, "OK", QByteArray());
        else if (path == "/malformed")
            response = httpResponse(200, "OK", "{\"id\":");
        else if (path == "/missing")
            response = httpResponse(404, "Not Found", "{}");
        else if (path == "/broken")
            response = httpResponse(500, "Internal Server Error", "{}");
        else
            return; // "/hang"
        socket->write(response);
        socket->disconnectFromHost();
    }

private:
    QTcpServer m_server; // owns the accepted sockets
};

// One reply under test, wired to a helper: counts the reply's destruction and notes its state at
// the moment the helper emitted (the reply must still be alive then, deletion is deferred).
class Watched : public QObject
{
    Q_OBJECT

public:
    Watched(QNetworkReply *reply, NetWorkHelper *helper)
        : destroyed(reply, SIGNAL(destroyed(QObject*)))
        , m_reply(reply)
    {
        connect(reply, SIGNAL(finished()), helper, SLOT(onFinished()));
        connect(helper, SIGNAL(networkFinish(bool,QJsonObject,QString)), this, SLOT(onNetworkFinish()));
    }
    QSignalSpy destroyed;
    int destroyedAtEmit = -1;
    QString errorString;
    int errorCode = -1;

private slots:
    void onNetworkFinish()
    {
        destroyedAtEmit = destroyed.count();
        if (m_reply) {
            errorString = m_reply->errorString();
            errorCode = m_reply->error();
        }
    }

private:
    QPointer<QNetworkReply> m_reply;
};

class tst_NetworkHelper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void finishedReplyGivesOneOutcome_data();
    void finishedReplyGivesOneOutcome();
    void timeOutAbortsHangingReply();
    void abortByCallerIsReportedAsTimeout();
    void timeOutAfterFinishDoesNothing();
    void senderThatIsNoReplyIsRefused();
    void oneHelperServesSeveralReplies();
    void logSwitchOffWritesNothing();

private:
    QNetworkReply *get(const char *path)
    {
        return m_nam.get(QNetworkRequest(m_server.url(QString::fromLatin1(path))));
    }
    static QStringList texts(const LogCapture &capture, QtMsgType type)
    {
        QStringList out;
        for (const LogCapture::Entry &e : capture.entries())
            if (e.type == type)
                out.append(e.text);
        return out;
    }

    HttpServer m_server;
    QNetworkAccessManager m_nam;
};

void tst_NetworkHelper::initTestCase()
{
    m_nam.setProxy(QNetworkProxy::NoProxy); // never through an http_proxy of the environment
    QVERIFY(m_server.listen());
}

void tst_NetworkHelper::cleanup()
{
    sdkSetLogEnabled(true);
    runDeferredDeletes();
}

void tst_NetworkHelper::finishedReplyGivesOneOutcome_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QJsonObject>("result");
    QTest::addColumn<QString>("message");   // null: the reply's own error string
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("bodyLine");  // the info line echoing the body, null when none
    QTest::addColumn<QString>("critical");  // %1: the reply's error string

    const QString json = QStringLiteral("json format is error.");
    QTest::newRow("object") << "/object" << true
                            << QJsonObject{{QStringLiteral("id"), 7}, {QStringLiteral("name"), QStringLiteral("crash")}}
                            << QString(QLatin1String("")) << 0
                            << "Post Success data: \"{\\\"id\\\":7,\\\"name\\\":\\\"crash\\\"}\"" << QString();
    QTest::newRow("array") << "/array" << true << QJsonObject() << QString(QLatin1String("")) << 0
                           << "Post Success data: \"[1,2]\"" << QString();
    QTest::newRow("empty body") << "/empty" << false << QJsonObject() << json << 0
                                << "Post Success data: \"\"" << "\"json format is error.\"";
    QTest::newRow("malformed") << "/malformed" << false << QJsonObject() << json << 0
                               << "Post Success data: \"{\\\"id\\\":\"" << "\"json format is error.\"";
    QTest::newRow("not found") << "/missing" << false << QJsonObject() << QString()
                               << int(QNetworkReply::ContentNotFoundError) << QString()
                               << "Request failed code: 203 \"%1\"";
    QTest::newRow("server error") << "/broken" << false << QJsonObject() << QString()
                                  << int(QNetworkReply::InternalServerError) << QString()
                                  << "Request failed code: 401 \"%1\"";
}

void tst_NetworkHelper::finishedReplyGivesOneOutcome()
{
    QFETCH(QString, path);
    QFETCH(bool, success);
    QFETCH(QJsonObject, result);
    QFETCH(QString, message);
    QFETCH(int, code);
    QFETCH(QString, bodyLine);
    QFETCH(QString, critical);

    LogCapture capture;
    NetWorkHelper helper;
    QSignalSpy finish(&helper, SIGNAL(networkFinish(bool,QJsonObject,QString)));
    QVERIFY(finish.isValid());
    Watched reply(get(qPrintable(path)), &helper);
    QVERIFY(reply.destroyed.isValid());

    QTRY_COMPARE_WITH_TIMEOUT(finish.count(), 1, kWait);
    QCOMPARE(reply.destroyedAtEmit, 0); // still readable while the outcome is handed out
    QCOMPARE(reply.errorCode, code);
    if (message.isNull()) {
        QVERIFY(!reply.errorString.isEmpty());
        message = reply.errorString;
    }
    const QList<QVariant> args = finish.takeFirst();
    QCOMPARE(args.at(0).toBool(), success);
    QCOMPARE(args.at(1).toJsonObject(), result);
    QCOMPARE(args.at(2).toString(), message);

    QStringList info{kFinished + QStringLiteral("Network Reply onFinished.")};
    if (!bodyLine.isNull())
        info.append(kFinished + bodyLine);
    QCOMPARE(texts(capture, QtInfoMsg), info);
    const QStringList criticals = critical.isNull() ? QStringList()
                                                    : QStringList{kFinished + critical.replace(QStringLiteral("%1"), reply.errorString)};
    QCOMPARE(texts(capture, QtCriticalMsg), criticals);
    if (capture.entries().size() != info.size() + criticals.size())
        capture.dump();
    QCOMPARE(capture.entries().size(), info.size() + criticals.size());

    QTRY_COMPARE_WITH_TIMEOUT(reply.destroyed.count(), 1, kWait);
    runDeferredDeletes();
    QCOMPARE(reply.destroyed.count(), 1);
    QCOMPARE(finish.count(), 0);
}

void tst_NetworkHelper::timeOutAbortsHangingReply()
{
    LogCapture capture;
    NetWorkHelper helper;
    QSignalSpy finish(&helper, SIGNAL(networkFinish(bool,QJsonObject,QString)));
    QVERIFY(finish.isValid());
    QNetworkReply *raw = get("/hang");
    Watched reply(raw, &helper);
    QPointer<ReplyTimeout> timeout = new ReplyTimeout(raw, 300);
    QCOMPARE(timeout->parent(), raw);

    QTRY_COMPARE_WITH_TIMEOUT(finish.count(), 1, kWait);
    QVERIFY(m_server.paths.contains(QStringLiteral("/hang"))); // it did reach the server
    QCOMPARE(reply.destroyedAtEmit, 0);
    QCOMPARE(reply.errorCode, int(QNetworkReply::OperationCanceledError));
    QCOMPARE(finish.first(), (QList<QVariant>{false, QJsonObject(), QStringLiteral("timeout")}));
    const QStringList expected{kTimeOutLine, kFinished + QStringLiteral("Network Reply onFinished."),
                               kFinished + QStringLiteral("Request timeout")};
    QCOMPARE(capture.lines(), expected);
    QCOMPARE(capture.entries().at(0).type, QtInfoMsg);
    QCOMPARE(capture.entries().at(2).type, QtCriticalMsg);

    // The time-out goes with its reply.
    QTRY_COMPARE_WITH_TIMEOUT(reply.destroyed.count(), 1, kWait);
    QVERIFY(timeout.isNull());
}

void tst_NetworkHelper::abortByCallerIsReportedAsTimeout()
{
    LogCapture capture;
    NetWorkHelper helper;
    QSignalSpy finish(&helper, SIGNAL(networkFinish(bool,QJsonObject,QString)));
    QVERIFY(finish.isValid());
    const int before = m_server.paths.count(QStringLiteral("/hang"));
    QNetworkReply *raw = get("/hang");
    Watched reply(raw, &helper);
    QTRY_COMPARE_WITH_TIMEOUT(m_server.paths.count(QStringLiteral("/hang")), before + 1, kWait);

    raw->abort();
    QCOMPARE(finish.count(), 1);
    QCOMPARE(reply.destroyed.count(), 0); // deferred, even when finished() came from inside abort()
    QCOMPARE(finish.first(), (QList<QVariant>{false, QJsonObject(), QStringLiteral("timeout")}));
    QCOMPARE(capture.lines(), (QStringList{kFinished + QStringLiteral("Network Reply onFinished."),
                                           kFinished + QStringLiteral("Request timeout")}));
    QTRY_COMPARE_WITH_TIMEOUT(reply.destroyed.count(), 1, kWait);
}

void tst_NetworkHelper::timeOutAfterFinishDoesNothing()
{
    LogCapture capture;
    // Expires after the time-out's own timer: once it has fired, so has the time-out.
    QTimer sentinel;
    sentinel.setSingleShot(true);
    QSignalSpy sentinelFired(&sentinel, SIGNAL(timeout()));
    QVERIFY(sentinelFired.isValid());

    // A finished reply that is still alive: the time-out leaves it alone and writes nothing.
    QNetworkReply *kept = get("/object");
    QSignalSpy keptFinished(kept, SIGNAL(finished()));
    QVERIFY(keptFinished.isValid());
    QVERIFY(keptFinished.wait(kWait));
    new ReplyTimeout(kept, 1);
    sentinel.start(200);
    QVERIFY(sentinelFired.wait(kWait));
    QCOMPARE(kept->error(), QNetworkReply::NoError);
    QCOMPARE(kept->readAll(), QByteArray("{\"id\":7,\"name\":\"crash\"}"));
    delete kept;
    QCOMPARE(capture.entries().size(), 0);

    // A reply the helper has already deleted: its time-out went with it and never fires.
    NetWorkHelper helper;
    QSignalSpy finish(&helper, SIGNAL(networkFinish(bool,QJsonObject,QString)));
    QVERIFY(finish.isValid());
    QNetworkReply *raw = get("/object");
    Watched reply(raw, &helper);
    QPointer<ReplyTimeout> timeout = new ReplyTimeout(raw, 300);
    QTRY_COMPARE_WITH_TIMEOUT(reply.destroyed.count(), 1, kWait);
    QVERIFY(timeout.isNull());
    sentinel.start(600);
    QVERIFY(sentinelFired.wait(kWait));
    QCOMPARE(finish.count(), 1);
    QCOMPARE(finish.first().at(0).toBool(), true);
    QCOMPARE(capture.count(kTimeOutLine), 0);
    QCOMPARE(capture.entries().size(), 2); // onFinished's own two lines
}

void tst_NetworkHelper::senderThatIsNoReplyIsRefused()
{
    LogCapture capture;
    NetWorkHelper helper;
    QSignalSpy finish(&helper, SIGNAL(networkFinish(bool,QJsonObject,QString)));
    QVERIFY(finish.isValid());

    // No sender at all.
    QVERIFY(QMetaObject::invokeMethod(&helper, "onFinished", Qt::DirectConnection));
    // A sender of another class.
    QObject other;
    QSignalSpy otherDestroyed(&other, SIGNAL(destroyed(QObject*)));
    QVERIFY(connect(&other, SIGNAL(objectNameChanged(QString)), &helper, SLOT(onFinished())));
    other.setObjectName(QStringLiteral("not a reply"));
    runDeferredDeletes();

    QCOMPARE(finish.count(), 0);
    QCOMPARE(otherDestroyed.count(), 0);
    const QStringList pair{kFinished + QStringLiteral("Network Reply onFinished."),
                           kFinished + QStringLiteral("Network Reply Invalid.")};
    QCOMPARE(capture.lines(), pair + pair);
    QCOMPARE(texts(capture, QtCriticalMsg), (QStringList{pair.at(1), pair.at(1)}));
}

void tst_NetworkHelper::oneHelperServesSeveralReplies()
{
    LogCapture capture;
    NetWorkHelper helper;
    QSignalSpy finish(&helper, SIGNAL(networkFinish(bool,QJsonObject,QString)));
    QVERIFY(finish.isValid());

    // Three at once, then one more after them.
    QList<QSharedPointer<QSignalSpy>> destroyed;
    for (const char *path : {"/object", "/missing", "/array", "/malformed"}) {
        if (destroyed.size() == 3)
            QTRY_COMPARE_WITH_TIMEOUT(finish.count(), 3, kWait);
        QNetworkReply *reply = get(path);
        QVERIFY(connect(reply, SIGNAL(finished()), &helper, SLOT(onFinished())));
        destroyed.append(QSharedPointer<QSignalSpy>::create(reply, SIGNAL(destroyed(QObject*))));
    }
    QTRY_COMPARE_WITH_TIMEOUT(finish.count(), 4, kWait);
    for (const QSharedPointer<QSignalSpy> &spy : destroyed)
        QTRY_COMPARE_WITH_TIMEOUT(spy->count(), 1, kWait);

    QStringList messages;
    int successes = 0;
    for (const QList<QVariant> &args : finish) {
        successes += args.at(0).toBool();
        messages.append(args.at(2).toString());
    }
    QCOMPARE(successes, 2);
    QCOMPARE(messages.last(), QStringLiteral("json format is error."));
    QCOMPARE(messages.count(QString(QLatin1String(""))), 2);
    QVERIFY(messages.filter(QStringLiteral("Not Found")).size() == 1);
    QCOMPARE(capture.count(QStringLiteral("Network Reply onFinished.")), 4);
}

void tst_NetworkHelper::logSwitchOffWritesNothing()
{
    LogCapture capture;
    sdkSetLogEnabled(false);
    NetWorkHelper helper;
    QSignalSpy finish(&helper, SIGNAL(networkFinish(bool,QJsonObject,QString)));
    QVERIFY(finish.isValid());
    for (const char *path : {"/object", "/malformed", "/missing"})
        QVERIFY(connect(get(path), SIGNAL(finished()), &helper, SLOT(onFinished())));
    QNetworkReply *hanging = get("/hang");
    QVERIFY(connect(hanging, SIGNAL(finished()), &helper, SLOT(onFinished())));
    new ReplyTimeout(hanging, 100);
    QVERIFY(QMetaObject::invokeMethod(&helper, "onFinished", Qt::DirectConnection));

    QTRY_COMPARE_WITH_TIMEOUT(finish.count(), 4, kWait);
    QCOMPARE(finish.count(QList<QVariant>{false, QJsonObject(), QStringLiteral("timeout")}), 1);
    QCOMPARE(capture.lines(), QStringList());
}

QTEST_GUILESS_MAIN(tst_NetworkHelper)
#include "tst_networkhelper.moc"
