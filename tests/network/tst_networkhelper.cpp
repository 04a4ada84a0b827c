// NetWorkHelper and ReplyTimeout against a real HTTP/1.1 server on 127.0.0.1: one outcome per reply,
// the SDK log lines that go with it, and the deferred, single deletion of every reply.

#include "logcapture.h"
#include "sdk/sdklog.h"

#include <OstrelSDK/networkhelper.h>

#include <QHash>
#include <QHostAddress>
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
        static const QHash<QByteArray, QByteArray> responses{
            {"/object", httpResponse(200, "OK", "{\"id\":7,\"name\":\"crash\"}")},
            {"/array", httpResponse(200, "OK", "[1,2]")},
            {"/empty", httpResponse(200, "OK", QByteArray())},
            {"/malformed", httpResponse(200, "OK", "{\"id\":")},
            {"/missing", httpResponse(404, "Not Found", "{}")},
            {"/broken", httpResponse(500, "Internal Server Error", "{}")},
        };
        if (!responses.contains(path))
            return; // "/hang"
        socket->write(responses.value(path));
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

private slots:
    void onNetworkFinish()
    {
        destroyedAtEmit = destroyed.count();
        if (m_reply)
            errorString = m_reply->errorString();
    }

private:
    QPointer<QNetworkReply> m_reply;
};

class tst_NetworkHelper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
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
    HttpServer m_server;
    QNetworkAccessManager m_nam;
    // Per test: the log lines, one helper and the outcomes it emitted.
    QScopedPointer<LogCapture> m_log;
    QScopedPointer<NetWorkHelper> m_helper;
    QScopedPointer<QSignalSpy> m_finish;
};

void tst_NetworkHelper::initTestCase()
{
    m_nam.setProxy(QNetworkProxy::NoProxy); // never through an http_proxy of the environment
    QVERIFY(m_server.listen());
}

void tst_NetworkHelper::init()
{
    m_log.reset(new LogCapture);
    m_helper.reset(new NetWorkHelper);
    m_finish.reset(new QSignalSpy(m_helper.data(), SIGNAL(networkFinish(bool,QJsonObject,QString))));
    QVERIFY(m_finish->isValid());
}

void tst_NetworkHelper::cleanup()
{
    sdkSetLogEnabled(true);
    runDeferredDeletes();
    m_finish.reset();
    m_helper.reset();
    if (QTest::currentTestFailed())
        m_log->dump();
    m_log.reset();
}

void tst_NetworkHelper::finishedReplyGivesOneOutcome_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QJsonObject>("result");
    QTest::addColumn<QString>("message");   // null: the reply's own error string
    QTest::addColumn<QString>("bodyLine");  // the info line echoing the body, null when none
    QTest::addColumn<QString>("critical");  // %1: the reply's error string

    const QString json = QStringLiteral("json format is error.");
    QTest::newRow("object") << "/object" << true
                            << QJsonObject{{QStringLiteral("id"), 7}, {QStringLiteral("name"), QStringLiteral("crash")}}
                            << QString(QLatin1String(""))
                            << "Post Success data: \"{\\\"id\\\":7,\\\"name\\\":\\\"crash\\\"}\"" << QString();
    QTest::newRow("array") << "/array" << true << QJsonObject() << QString(QLatin1String(""))
                           << "Post Success data: \"[1,2]\"" << QString();
    QTest::newRow("empty body") << "/empty" << false << QJsonObject() << json
                                << "Post Success data: \"\"" << "\"json format is error.\"";
    QTest::newRow("malformed") << "/malformed" << false << QJsonObject() << json
                               << "Post Success data: \"{\\\"id\\\":\"" << "\"json format is error.\"";
    // 203 and 401: QNetworkReply::ContentNotFoundError and InternalServerError.
    QTest::newRow("not found") << "/missing" << false << QJsonObject() << QString() << QString()
                               << "Request failed code: 203 \"%1\"";
    QTest::newRow("server error") << "/broken" << false << QJsonObject() << QString() << QString()
                                  << "Request failed code: 401 \"%1\"";
}

void tst_NetworkHelper::finishedReplyGivesOneOutcome()
{
    QFETCH(QString, path);
    QFETCH(bool, success);
    QFETCH(QJsonObject, result);
    QFETCH(QString, message);
    QFETCH(QString, bodyLine);
    QFETCH(QString, critical);

    Watched reply(get(qPrintable(path)), m_helper.data());
    QVERIFY(reply.destroyed.isValid());

    QTRY_COMPARE_WITH_TIMEOUT(m_finish->count(), 1, kWait);
    QCOMPARE(reply.destroyedAtEmit, 0); // still readable while the outcome is handed out
    if (message.isNull()) {
        QVERIFY(!reply.errorString.isEmpty());
        message = reply.errorString;
    }
    const QList<QVariant> args = m_finish->takeFirst();
    QCOMPARE(args.at(0).toBool(), success);
    QCOMPARE(args.at(1).toJsonObject(), result);
    QCOMPARE(args.at(2).toString(), message);

    QStringList info{kFinished + QStringLiteral("Network Reply onFinished.")};
    if (!bodyLine.isNull())
        info.append(kFinished + bodyLine);
    QCOMPARE(m_log->lines(QString(), QtInfoMsg), info);
    const QStringList criticals = critical.isNull() ? QStringList()
                                                    : QStringList{kFinished + critical.replace(QStringLiteral("%1"), reply.errorString)};
    QCOMPARE(m_log->lines(QString(), QtCriticalMsg), criticals);
    QCOMPARE(m_log->entries().size(), info.size() + criticals.size());

    QTRY_COMPARE_WITH_TIMEOUT(reply.destroyed.count(), 1, kWait);
    runDeferredDeletes();
    QCOMPARE(reply.destroyed.count(), 1);
    QCOMPARE(m_finish->count(), 0);
}

void tst_NetworkHelper::timeOutAbortsHangingReply()
{
    QNetworkReply *raw = get("/hang");
    Watched reply(raw, m_helper.data());
    // Armed once the server holds the request, so the reply really is one left unanswered.
    QTRY_VERIFY_WITH_TIMEOUT(m_server.paths.contains(QStringLiteral("/hang")), kWait);
    QPointer<ReplyTimeout> timeout = new ReplyTimeout(raw, 100);
    QCOMPARE(timeout->parent(), raw);

    QTRY_COMPARE_WITH_TIMEOUT(m_finish->count(), 1, kWait);
    QCOMPARE(reply.destroyedAtEmit, 0);
    QCOMPARE(m_finish->first(), (QList<QVariant>{false, QJsonObject(), QStringLiteral("timeout")}));
    const QStringList expected{kTimeOutLine, kFinished + QStringLiteral("Network Reply onFinished."),
                               kFinished + QStringLiteral("Request timeout")};
    QCOMPARE(m_log->lines(), expected);
    QCOMPARE(m_log->entries().at(0).type, QtInfoMsg);
    QCOMPARE(m_log->entries().at(2).type, QtCriticalMsg);

    // The time-out goes with its reply.
    QTRY_COMPARE_WITH_TIMEOUT(reply.destroyed.count(), 1, kWait);
    QVERIFY(timeout.isNull());
}

void tst_NetworkHelper::abortByCallerIsReportedAsTimeout()
{
    const int before = m_server.paths.count(QStringLiteral("/hang"));
    QNetworkReply *raw = get("/hang");
    Watched reply(raw, m_helper.data());
    QTRY_COMPARE_WITH_TIMEOUT(m_server.paths.count(QStringLiteral("/hang")), before + 1, kWait);

    raw->abort();
    QCOMPARE(m_finish->count(), 1);
    QCOMPARE(reply.destroyed.count(), 0); // deferred, even when finished() came from inside abort()
    QCOMPARE(m_finish->first(), (QList<QVariant>{false, QJsonObject(), QStringLiteral("timeout")}));
    QCOMPARE(m_log->lines(), (QStringList{kFinished + QStringLiteral("Network Reply onFinished."),
                                           kFinished + QStringLiteral("Request timeout")}));
    QTRY_COMPARE_WITH_TIMEOUT(reply.destroyed.count(), 1, kWait);
}

void tst_NetworkHelper::timeOutAfterFinishDoesNothing()
{
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
    QCOMPARE(m_log->entries().size(), 0);

    // A reply the helper has already deleted: its time-out went with it and never fires.
    QNetworkReply *raw = get("/object");
    Watched reply(raw, m_helper.data());
    QPointer<ReplyTimeout> timeout = new ReplyTimeout(raw, 300);
    QTRY_COMPARE_WITH_TIMEOUT(reply.destroyed.count(), 1, kWait);
    QVERIFY(timeout.isNull());
    sentinel.start(600);
    QVERIFY(sentinelFired.wait(kWait));
    QCOMPARE(m_finish->count(), 1);
    QCOMPARE(m_finish->first().at(0).toBool(), true);
    QCOMPARE(m_log->count(kTimeOutLine), 0);
    QCOMPARE(m_log->entries().size(), 2); // onFinished's own two lines
}

void tst_NetworkHelper::senderThatIsNoReplyIsRefused()
{

    // No sender at all.
    QVERIFY(QMetaObject::invokeMethod(m_helper.data(), "onFinished", Qt::DirectConnection));
    // A sender of another class.
    QObject other;
    QSignalSpy otherDestroyed(&other, SIGNAL(destroyed(QObject*)));
    QVERIFY(connect(&other, SIGNAL(objectNameChanged(QString)), m_helper.data(), SLOT(onFinished())));
    other.setObjectName(QStringLiteral("not a reply"));
    runDeferredDeletes();

    QCOMPARE(m_finish->count(), 0);
    QCOMPARE(otherDestroyed.count(), 0);
    const QStringList pair{kFinished + QStringLiteral("Network Reply onFinished."),
                           kFinished + QStringLiteral("Network Reply Invalid.")};
    QCOMPARE(m_log->lines(), pair + pair);
    QCOMPARE(m_log->lines(QString(), QtCriticalMsg), (QStringList{pair.at(1), pair.at(1)}));
}

void tst_NetworkHelper::oneHelperServesSeveralReplies()
{
    // Three at once, then one more after them.
    QList<QSharedPointer<QSignalSpy>> destroyed;
    for (const char *path : {"/object", "/missing", "/array", "/malformed"}) {
        if (destroyed.size() == 3)
            QTRY_COMPARE_WITH_TIMEOUT(m_finish->count(), 3, kWait);
        QNetworkReply *reply = get(path);
        QVERIFY(connect(reply, SIGNAL(finished()), m_helper.data(), SLOT(onFinished())));
        destroyed.append(QSharedPointer<QSignalSpy>::create(reply, SIGNAL(destroyed(QObject*))));
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_finish->count(), 4, kWait);
    for (const QSharedPointer<QSignalSpy> &spy : destroyed)
        QTRY_COMPARE_WITH_TIMEOUT(spy->count(), 1, kWait);

    QStringList outcomes; // success flag and message of each
    for (const QList<QVariant> &args : *m_finish)
        outcomes.append(args.at(0).toString() + QLatin1Char(' ') + args.at(2).toString());
    QCOMPARE(outcomes.count(QStringLiteral("true ")), 2);
    QCOMPARE(outcomes.filter(QStringLiteral("false Error transferring")).size(), 1);
    QCOMPARE(outcomes.last(), QStringLiteral("false json format is error."));
    QCOMPARE(m_log->count(QStringLiteral("Network Reply onFinished.")), 4);
}

void tst_NetworkHelper::logSwitchOffWritesNothing()
{
    sdkSetLogEnabled(false);
    for (const char *path : {"/object", "/malformed", "/missing"})
        QVERIFY(connect(get(path), SIGNAL(finished()), m_helper.data(), SLOT(onFinished())));
    QNetworkReply *hanging = get("/hang");
    QVERIFY(connect(hanging, SIGNAL(finished()), m_helper.data(), SLOT(onFinished())));
    new ReplyTimeout(hanging, 100);
    QVERIFY(QMetaObject::invokeMethod(m_helper.data(), "onFinished", Qt::DirectConnection));

    QTRY_COMPARE_WITH_TIMEOUT(m_finish->count(), 4, kWait);
    QCOMPARE(m_finish->count(QList<QVariant>{false, QJsonObject(), QStringLiteral("timeout")}), 1);
    QCOMPARE(m_log->lines(), QStringList());
}

QTEST_GUILESS_MAIN(tst_NetworkHelper)
#include "tst_networkhelper.moc"
