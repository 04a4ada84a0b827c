// NetWorkHelper and ReplyTimeout on real replies (data: and file: URLs, and a local server that never
// answers): one outcome per reply, the SDK log lines that go with it, and the deferred deletion of
// every reply.

#include "logcapture.h"

#include <OstrelSDK/networkhelper.h>

#include <QtNetwork>
#include <QtTest>

class tst_NetworkHelper : public QObject
{
    Q_OBJECT

public slots:
    // "<success> <result as compact JSON> <message>", and the reply's error string at that moment:
    // null when the reply is already deleted (its deletion must be deferred).
    void onNetworkFinish(bool success, const QJsonObject &result, const QString &message)
    {
        m_outcomes.append(QLatin1String(success ? "true " : "false ") + QJsonDocument(result).toJson(QJsonDocument::Compact) + ' ' + message);
        m_errorAtEmit = m_reply ? m_reply->errorString() : QStringLiteral("<deleted>");
    }

private slots:
    void initTestCase()
    {
        m_nam.setProxy(QNetworkProxy::NoProxy);
        QVERIFY(m_silent.listen(QHostAddress::LocalHost)); // accepts, never answers
        QVERIFY(connect(&m_helper, SIGNAL(networkFinish(bool,QJsonObject,QString)), this, SLOT(onNetworkFinish(bool,QJsonObject,QString))));
    }

    void oneOutcomePerReply_data()
    {
        QTest::addColumn<QString>("url");     // "silent": the server that never answers; a ReplyTimeout ends it
        QTest::addColumn<QString>("outcome"); // as onNetworkFinish() records it; %1: the reply's error string
        QTest::addColumn<QStringList>("log"); // tagged, the onFinished prefix cut off

        auto row = [](const char *name, const char *url, const char *outcome, QStringList log) {
            log.insert(log.value(0).startsWith("[OstrelSDk]") ? 1 : 0, "Network Reply onFinished.");
            QTest::newRow(name) << QString(url) << QString(outcome) << log;
        };
        row("object", "data:,{\"id\":7,\"name\":\"crash\"}", "true {\"id\":7,\"name\":\"crash\"} ",
            {"Post Success data: \"{\\\"id\\\":7,\\\"name\\\":\\\"crash\\\"}\""});
        row("array", "data:,[1,2]", "true {} ", {"Post Success data: \"[1,2]\""});
        row("empty body", "data:,", "false {} json format is error.", {"Post Success data: \"\"", "!\"json format is error.\""});
        row("not found", "file:///no/such/file", "false {} %1", {"!Request failed code: 203 \"%1\""});
        row("time-out", "silent", "false {} timeout", {"[OstrelSDk] [ void ReplyTimeout::onTimeOut() ]", "!Request timeout"});
    }

    void oneOutcomePerReply()
    {
        QFETCH(QString, url);
        QFETCH(QString, outcome);
        QFETCH(QStringList, log);
        LogCapture capture;
        m_outcomes.clear();
        m_reply = m_nam.get(QNetworkRequest(url == "silent" ? QStringLiteral("http://127.0.0.1:%1/").arg(m_silent.serverPort()) : url));
        QVERIFY(connect(m_reply, SIGNAL(finished()), &m_helper, SLOT(onFinished())));
        QPointer<ReplyTimeout> timeout = new ReplyTimeout(m_reply, url == "silent" ? 100 : 60000);
        QTRY_COMPARE(m_outcomes.size(), 1);
        QTRY_VERIFY(!m_reply && !timeout);
        QCOMPARE(m_outcomes.value(0), outcome.replace("%1", m_errorAtEmit));
        QCOMPARE(capture.tagged("[OstrelSDk] [ void NetWorkHelper::onFinished() ] "), log.replaceInStrings("%1", m_errorAtEmit));
    }

    // No reply as sender, a time-out after its reply finished: a line or nothing, no outcome.
    void nothingToDo()
    {
        LogCapture capture;
        m_outcomes.clear();
        QVERIFY(QMetaObject::invokeMethod(&m_helper, "onFinished", Qt::DirectConnection));
        QScopedPointer<QNetworkReply> done(m_nam.get(QNetworkRequest(QUrl("data:,{}"))));
        QTRY_VERIFY(done->isFinished());
        QVERIFY(QMetaObject::invokeMethod(new ReplyTimeout(done.data(), 60000), "onTimeOut"));
        QCOMPARE(done->error(), QNetworkReply::NoError);
        QCOMPARE(capture.tagged("[OstrelSDk] [ void NetWorkHelper::onFinished() ] "), QStringList({"Network Reply onFinished.", "!Network Reply Invalid."}));
        QCOMPARE(m_outcomes, QStringList());
    }

private:
    QTcpServer m_silent;
    QNetworkAccessManager m_nam;
    NetWorkHelper m_helper; // one for all tests: it keeps no state between replies
    QStringList m_outcomes;
    QPointer<QNetworkReply> m_reply;
    QString m_errorAtEmit;
};

QTEST_GUILESS_MAIN(tst_NetworkHelper)
#include "tst_networkhelper.moc"
