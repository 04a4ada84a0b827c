// The crash handler's message parser, session state and crash report.

#include "crashreport.h"
#include "handlerargs.h"
#include "handlermessage.h"
#include "session.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

class tst_HandlerSession : public QObject
{
    Q_OBJECT

private:
    static void applyAll(Session &session, const QList<QByteArray> &frames)
    {
        for (const QByteArray &frame : frames)
            session.apply(HandlerMessage::parse(frame));
    }
    static void writeFile(const QString &path, const QByteArray &content)
    {
        QFile file(path);
        QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
        file.write(content);
    }

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QByteArray>("reply");

        QTest::newRow("empty frame") << QByteArray() << int(HandlerMessage::Empty) << QStringList() << QByteArray("ok empty");
        QTest::newRow("cloud config") << QByteArray("cloudConfig@c1@c2") << int(HandlerMessage::CloudConfig)
                                      << QStringList {"c1", "c2"} << QByteArray("ok cloudConfig");
        QTest::newRow("cloud config, empty fields") << QByteArray("cloudConfig@@") << int(HandlerMessage::CloudConfig)
                                                    << QStringList {"", ""} << QByteArray("ok cloudConfig");
        QTest::newRow("login") << QByteArray("ClientLogin@u1@L9@1") << int(HandlerMessage::ClientLogin)
                               << QStringList {"u1", "L9", "1"} << QByteArray("ok ClientLogin");
        QTest::newRow("login, @ in live id") << QByteArray("ClientLogin@u1@L@9@0") << int(HandlerMessage::ClientLogin)
                                             << QStringList {"u1", "L@9", "0"} << QByteArray("ok ClientLogin");
        QTest::newRow("login, fields missing") << QByteArray("ClientLogin@u1") << int(HandlerMessage::ClientLogin)
                                               << QStringList {"u1", "", ""} << QByteArray("ok ClientLogin");
        QTest::newRow("stream node, @ in field") << QByteArray("StreamNode@n@1@x") << int(HandlerMessage::StreamNode)
                                                 << QStringList {"n", "1@x"} << QByteArray("ok StreamNode");
        QTest::newRow("exception check") << QByteArray("ExceptionCheck@a@b") << int(HandlerMessage::ExceptionCheck)
                                         << QStringList {"a", "b"} << QByteArray("ok ExceptionCheck");
        QTest::newRow("exit") << QByteArray("ExitClient") << int(HandlerMessage::ExitClient) << QStringList() << QByteArray("ok ExitClient");
        QTest::newRow("command is case-sensitive") << QByteArray("exitclient") << int(HandlerMessage::Unknown)
                                                   << QStringList() << QByteArray("unknown exitclient");
        QTest::newRow("unknown, non-ASCII answered as ASCII") << QByteArray("Gr\xc3\xbc\x01@x") << int(HandlerMessage::Unknown)
                                                             << QStringList() << QByteArray("unknown Gr??");
    }

    void parse()
    {
        QFETCH(QByteArray, frame);
        QFETCH(int, kind);
        QFETCH(QStringList, fields);
        QFETCH(QByteArray, reply);
        const HandlerMessage m = HandlerMessage::parse(frame);
        QCOMPARE(int(m.kind), kind);
        QCOMPARE(m.fields, fields);
        QCOMPARE(m.reply(), reply);
        QCOMPARE(m.size, frame.size());
        QVERIFY(m.validUtf8);
        QVERIFY(!m.isMalformed());
    }

    void invalidUtf8IsKeptAndFlagged()
    {
        const HandlerMessage m = HandlerMessage::parse(QByteArray("StreamNode@n\xff@d\xe2\x82"));
        QCOMPARE(int(m.kind), int(HandlerMessage::StreamNode));
        QVERIFY(!m.validUtf8);
        QCOMPARE(m.fields.value(0), QString(QStringLiteral("n") + QChar(0xfffd)));
        QVERIFY(m.fields.value(1).startsWith(QLatin1Char('d')));
        QVERIFY(m.fields.value(1).size() > 1); // the cut sequence is replaced, not silently lost
    }

    void malformedSubProcessInfo_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("no payload") << QByteArray("subProcessInfo@");
        QTest::newRow("no @ at all") << QByteArray("subProcessInfo");
        QTest::newRow("cut JSON") << QByteArray("subProcessInfo@{\"appName\":\"w\"");
        QTest::newRow("array") << QByteArray("subProcessInfo@[1,2]");
        QTest::newRow("string") << QByteArray("subProcessInfo@\"w\"");
        QTest::newRow("no appName") << QByteArray("subProcessInfo@{\"subProcessPid\":\"12\"}");
        QTest::newRow("appName not text") << QByteArray("subProcessInfo@{\"appName\":{}}");
    }

    // A bad payload is answered "bad", counted, and leaves the sub-process table as it was.
    void malformedSubProcessInfo()
    {
        QFETCH(QByteArray, frame);
        const HandlerMessage m = HandlerMessage::parse(frame);
        QCOMPARE(int(m.kind), int(HandlerMessage::SubProcessInfo));
        QVERIFY(m.isMalformed());
        QCOMPARE(m.reply(), QByteArray("bad subProcessInfo"));

        Session session;
        session.apply(HandlerMessage::parse("subProcessInfo@{\"appName\":\"w.exe\",\"subProcessPid\":\"41\",\"status\":1}"));
        session.apply(m);
        QCOMPARE(session.subProcesses().size(), 1);
        QCOMPARE(session.subProcesses().at(0).pid, qint64(41));
        const QJsonObject state = session.toJson();
        QCOMPARE(state[QStringLiteral("counts")][QStringLiteral("malformed")].toInt(), 1);
    }

    // The state after a realistic sequence, as the report shows it.
    void sessionState()
    {
        Session session;
        applyAll(session, {
            "", "cloudConfig@old@x", "cloudConfig@c1@c2", "ClientLogin@u1@@0", "ClientLogin@u1@L9@1",
            "StreamNode@n@d", "ExceptionCheck@a@b", "ExceptionCheck@c@d", "bogus@1",
            "subProcessInfo@{\"SDKBeginTime\":1700000000,\"appName\":\"w.exe\",\"dmpPath\":\"D:/d\",\"role\":\"r\",\"status\":1,\"subLogFile\":\"/l\",\"subProcessPid\":\"4242\",\"version\":\"2\"}",
            "subProcessInfo@{\"appName\":\"v.exe\",\"status\":2,\"subProcessPid\":\"not a pid\"}",
            "subProcessInfo@{\"appName\":\"w.exe\",\"status\":0,\"subProcessPid\":\"4343\"}",
        });
        const QJsonObject s = session.toJson();
        QCOMPARE(s[QStringLiteral("cloudConfig")].toObject(), (QJsonObject {{"config1", "c1"}, {"config2", "c2"}}));
        QCOMPARE(s[QStringLiteral("login")].toObject(), (QJsonObject {{"userId", "u1"}, {"liveId", "L9"}, {"liveFlag", "1"}}));
        QCOMPARE(s[QStringLiteral("streamNode")].toObject(), (QJsonObject {{"node", "n"}, {"nodeDetail", "d"}}));
        QCOMPARE(s[QStringLiteral("exceptionChecks")].toArray().size(), 2);
        QCOMPARE(s[QStringLiteral("exceptionChecks")][1][QStringLiteral("info1")].toString(), QStringLiteral("c"));
        QCOMPARE(s[QStringLiteral("exitClient")].toBool(), false);
        const QJsonObject counts = s[QStringLiteral("counts")].toObject();
        QCOMPARE(counts[QStringLiteral("messages")].toInt(), 12);
        QCOMPARE(counts[QStringLiteral("emptyFrames")].toInt(), 1);
        QCOMPARE(counts[QStringLiteral("unknownCommands")].toInt(), 1);

        // One record per executable name; the later report for w.exe replaced the first.
        const QJsonArray subs = s[QStringLiteral("subProcesses")].toArray();
        QCOMPARE(subs.size(), 2);
        QCOMPARE(subs[0][QStringLiteral("pid")].toString(), QStringLiteral("4343"));
        QCOMPARE(subs[0][QStringLiteral("status")].toInt(), 0);
        QVERIFY(!subs[0].toObject().contains(QStringLiteral("sdkBeginTime")));
        // Only usable pids are watched.
        QCOMPARE(session.runningSubProcessPids(), QList<qint64> {4343});

        QCOMPARE(session.noteSubProcessExit(4343, QDateTime::currentDateTimeUtc()), QStringLiteral("w.exe"));
        QCOMPARE(session.noteSubProcessExit(4343, QDateTime::currentDateTimeUtc()), QString());
        QVERIFY(session.runningSubProcessPids().isEmpty());
        const QJsonObject after = session.toJson();
        QVERIFY(after[QStringLiteral("subProcesses")][0][QStringLiteral("exitedWhileHostRan")].toBool());

        session.apply(HandlerMessage::parse("ExitClient"));
        QVERIFY(session.exitClientReceived());
    }

    void sessionIsBounded()
    {
        Session session;
        for (int i = 0; i < 1000; ++i) {
            session.apply(HandlerMessage::parse("ExceptionCheck@" + QByteArray::number(i) + "@x"));
            session.apply(HandlerMessage::parse("subProcessInfo@{\"appName\":\"p" + QByteArray::number(i)
                                                + "\",\"subProcessPid\":\"" + QByteArray::number(i + 1) + "\"}"));
        }
        const QJsonObject s = session.toJson();
        QCOMPARE(s[QStringLiteral("exceptionChecks")].toArray().size(), Session::kMaxExceptionChecks);
        QCOMPARE(s[QStringLiteral("exceptionChecks")][Session::kMaxExceptionChecks - 1][QStringLiteral("info1")].toString(),
                 QStringLiteral("999"));
        QCOMPARE(s[QStringLiteral("counts")][QStringLiteral("exceptionChecks")].toInt(), 1000);
        QCOMPARE(session.subProcesses().size(), Session::kMaxSubProcesses);
        QCOMPARE(s[QStringLiteral("counts")][QStringLiteral("subProcessesIgnored")].toInt(), 1000 - Session::kMaxSubProcesses);
    }

    void arguments()
    {
        HandlerArgs args;
        QString error;
        QVERIFY(!HandlerArgs::parse({}, &args, &error));
        QVERIFY(!HandlerArgs::parse({"12", "d", "a", "c", "1", "2"}, &args, &error));
        QVERIFY(!HandlerArgs::parse({"12", "d", "a", "c", "1", "2", "3", "4"}, &args, &error));
        QVERIFY(!HandlerArgs::parse({"12x", "d", "a", "c", "1", "2", "3"}, &args, &error));
        QVERIFY(!HandlerArgs::parse({"-5", "d", "a", "c", "1", "2", "3"}, &args, &error));
        QVERIFY(HandlerArgs::parse({"812", "C:\\dumps\\app", "my app/1", "cli", "", "p2", "p3"}, &args, &error));
        QCOMPARE(args.hostPid, qint64(812));
        QCOMPARE(args.dumpFolder, QStringLiteral("C:/dumps/app"));
        QCOMPARE(args.serverName(), QStringLiteral("Kiv_Crash_Handler_812"));
        QCOMPARE(args.fileStem(), QStringLiteral("my_app_1-812"));
        QCOMPARE(CrashReport::fileName(args, QDateTime(QDate(2026, 12, 5), QTime(18, 15), Qt::UTC)),
                 QStringLiteral("my_app_1-812-20261205T181500Z.json"));
    }

    // The report reads the client info file by attribute name and the tails of the logs it names;
    // missing pieces are noted, not fatal; the file appears whole or not at all.
    void crashReport()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString base = dir.path();
        QVERIFY(QDir().mkpath(base + "/home/AppData/Local/OstrelSDK"));

        QByteArray hostLog;
        for (int i = 0; hostLog.size() < 100 * 1024; ++i)
            hostLog += "host line " + QByteArray::number(i) + '\n';
        writeFile(base + "/host.log", hostLog);
        writeFile(base + "/tp1.log", "third party one\n");
        writeFile(base + "/home/AppData/Local/OstrelSDK/KivClientInfo_cli_812.xml",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ClientInfo liveid=\"L9\" id=\"u1\" logPath=\"" + base.toUtf8()
                          + "/host.log\" thirdpartyLogPath=\"" + base.toUtf8() + "/tp1.log;" + base.toUtf8()
                          + "/missing.log\" node=\"n&amp;1\"/>\n");

        CrashReport::Context context;
        QString error;
        QVERIFY(HandlerArgs::parse({"812", base, "app", "cli", "p1", "p2", "p3"}, &context.args, &error));
        context.homePath = base + "/home";
        context.hostGoneAt = QDateTime::currentDateTimeUtc();
        Session session;
        session.apply(HandlerMessage::parse("cloudConfig@c1@c2"));

        const QJsonObject report = CrashReport::build(context, session);
        QCOMPARE(report[QStringLiteral("hostPid")].toInt(), 812);
        QCOMPARE(report[QStringLiteral("handlerParams")].toArray(), (QJsonArray {"p1", "p2", "p3"}));
        QCOMPARE(report[QStringLiteral("session")][QStringLiteral("cloudConfig")][QStringLiteral("config1")].toString(), QStringLiteral("c1"));
        const QJsonObject attrs = report[QStringLiteral("clientInfo")][QStringLiteral("attributes")].toObject();
        QCOMPARE(attrs[QStringLiteral("id")].toString(), QStringLiteral("u1"));
        QCOMPARE(attrs[QStringLiteral("node")].toString(), QStringLiteral("n&1"));

        const QJsonObject host = report[QStringLiteral("logs")][QStringLiteral("host")].toObject();
        QVERIFY(host[QStringLiteral("cut")].toBool());
        QCOMPARE(host[QStringLiteral("tail")].toString().toUtf8(), hostLog.right(int(CrashReport::kTailBytes)));
        const QJsonArray tp = report[QStringLiteral("logs")][QStringLiteral("thirdparty")].toArray();
        QCOMPARE(tp.size(), 2);
        QCOMPARE(tp[0][QStringLiteral("tail")].toString(), QStringLiteral("third party one\n"));
        QCOMPARE(tp[0][QStringLiteral("cut")].toBool(), false);
        QCOMPARE(tp[1][QStringLiteral("found")].toBool(), false);

        const QString path = base + "/report.json";
        QVERIFY2(CrashReport::write(path, report, &error), qPrintable(error));
        QFile written(path);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(written.readAll()).object(), report);
        QCOMPARE(QDir(base).entryList({"report.json*"}, QDir::Files), QStringList {"report.json"});
        QVERIFY(!CrashReport::write(base + "/no/such/dir/r.json", report, &error));

        // No client info file: noted, and the logs it would have named are simply not there.
        QFile::remove(base + "/home/AppData/Local/OstrelSDK/KivClientInfo_cli_812.xml");
        const QJsonObject bare = CrashReport::build(context, session);
        QCOMPARE(bare[QStringLiteral("clientInfo")][QStringLiteral("found")].toBool(), false);
        QVERIFY(!bare[QStringLiteral("clientInfo")][QStringLiteral("error")].toString().isEmpty());
        QCOMPARE(bare[QStringLiteral("logs")][QStringLiteral("host")][QStringLiteral("found")].toBool(), false);
    }
};

QTEST_APPLESS_MAIN(tst_HandlerSession)
#include "tst_handlersession.moc"
