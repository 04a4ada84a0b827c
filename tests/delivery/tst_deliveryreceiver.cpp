// The reference handler delivering a real crash of a real host to a real receiver (Spotlight), and
// the queue it leaves when the receiver is down, picked up by the next handler of the application.

#include "handlerdriver.h"
#include "receiver.h"
#include "testfiles.h"

#include <QJsonArray>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace {

bool coresGoToCollector()
{
    const QString pattern = QString::fromLatin1(TestFiles::readAll("/proc/sys/kernel/core_pattern")).trimmed();
    return pattern.startsWith('|') && !pattern.contains("systemd-coredump");
}

QProcessEnvironment configIn(const QString &folder)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", folder);
    return env;
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// A crash host whose handler is told where to deliver, then crashes.
bool crashWithDelivery(const QString &folder, const QString &dsn)
{
    CrashHost host({"segv"}, folder + "/work");
    HandlerDriver handler(&host.process, folder + "/dumps", "crash-host", configIn(folder + "/config"));
    const bool told = handler.say("cloudConfig@dsn=" + dsn.toUtf8() + ";upload=on;release=9.1@team=core")
            && handler.say("ClientLogin@u1@L9@0") && handler.say("StreamNode@n1@detail");
    host.go();
    return told && host.process.waitForFinished(10000) && handler.finished();
}

QString entryState(const QString &dumps)
{
    const QStringList names = QDir(dumps).entryList({"*.delivery"});
    return names.size() == 1 ? QJsonDocument::fromJson(TestFiles::readAll(dumps + "/" + names.first())).object()["state"].toString()
                             : QString("%1 entries").arg(names.size());
}

} // namespace

class TestDeliveryReceiver : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        if (coresGoToCollector())
            QSKIP("cores go to a collector program here");
    }

    void delivered()
    {
        Receiver receiver;
        if (receiver.port == 0)
            QSKIP(qPrintable(receiver.whyNot));
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("work"));
        QVERIFY(crashWithDelivery(dir.path(), receiver.dsn()));
        QTRY_COMPARE_WITH_TIMEOUT(receiver.count(), 1, 10000);
        QCOMPARE(entryState(dir.path() + "/dumps"), QString("delivered"));

        const QJsonObject envelope = receiver.envelopes.first();
        const QJsonObject event = envelope["event"].toObject();
        QCOMPARE(event["event_id"].toString(), envelope["event_id"].toString());
        const QJsonObject exception = event["exception"]["values"][0].toObject();
        QCOMPARE(exception["type"].toString(), QString("SIGSEGV"));
        const QJsonArray frames = exception["stacktrace"]["frames"].toArray();
        QVERIFY(!frames.isEmpty());
        const QJsonObject site = frames.last().toObject(); // the crashing frame comes last
        QCOMPARE(site["function"].toString(), QString("(anonymous namespace)::nullWriteInMain()"));
        QCOMPARE(site["filename"].toString(), QString("crash_host.cpp"));
        QCOMPARE(site["lineno"].toInt(), 58); // the write in crash_host.cpp
        QCOMPARE(event["user"]["id"].toString(), QString("u1"));
        QCOMPARE(event["tags"]["live_id"].toString(), QString("L9"));
        QCOMPARE(event["tags"]["stream_node"].toString(), QString("n1"));
        QCOMPARE(event["tags"]["client"].toString(), QString("client"));
        QCOMPARE(event["release"].toString(), QString("9.1"));
        QCOMPARE(event["extra"]["config"]["team"].toString(), QString("core"));
        QStringList attachments;
        for (const QJsonValue &item : envelope["items"].toArray())
            if (item["type"].toString() == "attachment")
                attachments.append(item["filename"].toString());
        QCOMPARE(attachments.size(), 1); // the report (the test host writes no logs)
        QVERIFY2(attachments.first().startsWith("crash-host-") && attachments.first().endsWith(".json"), qPrintable(attachments.first()));
    }

    // Receiver down at crash time: the report stays queued, and the next handler of the same
    // application delivers it once the host's configuration allows it; the server gets one event.
    void deliveredByNextHandler()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("work"));
        const int port = freePort();
        const QString dsn = QString("http://publickey@127.0.0.1:%1/42").arg(port);
        QVERIFY(crashWithDelivery(dir.path(), dsn));
        QCOMPARE(entryState(dir.path() + "/dumps"), QString("queued"));

        Receiver receiver(port);
        if (receiver.port == 0)
            QSKIP(qPrintable(receiver.whyNot));
        CrashHost host({"wait"}, dir.path() + "/work");
        HandlerDriver handler(&host.process, dir.path() + "/dumps", "crash-host", configIn(dir.path() + "/config"));
        QVERIFY(handler.say("cloudConfig@dsn=" + dsn.toUtf8() + ";upload=on@"));
        QTRY_COMPARE_WITH_TIMEOUT(receiver.count(), 1, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(entryState(dir.path() + "/dumps"), QString("delivered"), 5000);
        QVERIFY(handler.say("ExitClient"));
        host.process.kill();
        QVERIFY(handler.finished());
        QTest::qWait(200);
        QCOMPARE(receiver.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestDeliveryReceiver)
#include "tst_deliveryreceiver.moc"
