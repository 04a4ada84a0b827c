// The reference crash handler's pure parts: the message parser, the session state, the arguments
// and the crash report. The frame reader is the fuzz target's (fuzz_handlerframes): its committed
// inputs replay the 1 MiB bound from both sides.

#include "report/crashreport.h"
#include "storage/dumpfolder.h"
#include "handlerargs.h"
#include "protocol/handlermessage.h"
#include "session/session.h"
#include "testfiles.h"

#include <QtTest>

namespace {

const QJsonObject stateAfter(Session &session, const QList<QByteArray> &frames)
{
    for (const QByteArray &frame : frames)
        session.apply(HandlerMessage::parse(frame));
    return session.toJson();
}

} // namespace

class tst_Handler : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("utf8");

        QTest::newRow("empty frame") << QByteArray() << int(HandlerMessage::Empty) << QStringList() << QByteArray("ok empty") << true;
        QTest::newRow("cloud config, empty fields") << QByteArray("cloudConfig@@") << int(HandlerMessage::CloudConfig) << QStringList {"", ""} << QByteArray("ok cloudConfig") << true;
        QTest::newRow("login, @ in live id") << QByteArray("ClientLogin@u1@L@9@0") << int(HandlerMessage::ClientLogin) << QStringList {"u1", "L@9", "0"} << QByteArray("ok ClientLogin") << true;
        QTest::newRow("login, fields missing") << QByteArray("ClientLogin@u1") << int(HandlerMessage::ClientLogin) << QStringList {"u1", "", ""} << QByteArray("ok ClientLogin") << true;
        QTest::newRow("stream node, @ in detail") << QByteArray("StreamNode@n@1@x") << int(HandlerMessage::StreamNode) << QStringList {"n", "1@x"} << QByteArray("ok StreamNode") << true;
        // Bad bytes, a cut sequence at the end too, become U+FFFD rather than vanish.
        QTest::newRow("invalid UTF-8 kept, flagged") << QByteArray("StreamNode@n\xff@d\xe2\x82") << int(HandlerMessage::StreamNode)
                                                     << QStringList {QString::fromUtf8("n\xff"), QString::fromUtf8("d\xe2\x82")} << QByteArray("ok StreamNode") << false;
        const int sub = HandlerMessage::SubProcessInfo;
        QTest::newRow("sub-process") << QByteArray("subProcessInfo@{\"appName\":\"w.exe\"}") << sub << QStringList() << QByteArray("ok subProcessInfo") << true;
        for (const char *bad : {"subProcessInfo@", "subProcessInfo@{\"appName\":\"w\"", "subProcessInfo@[1,2]", "subProcessInfo@{\"appName\":{}}"})
            QTest::newRow(bad) << QByteArray(bad) << sub << QStringList() << QByteArray("bad subProcessInfo") << true;
        QTest::newRow("command is case-sensitive") << QByteArray("exitclient") << int(HandlerMessage::Unknown) << QStringList() << QByteArray("unknown exitclient") << true;
        QTest::newRow("unknown, answered as ASCII") << QByteArray("Gr\xc3\xbc\x01@x") << int(HandlerMessage::Unknown) << QStringList() << QByteArray("unknown Gr??") << true;
    }

    void parse()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, reply);
        const HandlerMessage m = HandlerMessage::parse(frame);
        QTEST(int(m.kind), "kind");
        QTEST(m.fields, "fields");
        QCOMPARE(m.reply(), reply);
        QCOMPARE(m.isMalformed(), reply.startsWith("bad"));
        QCOMPARE(m.size, frame.size());
        QTEST(m.validUtf8, "utf8");
    }

    // The state after a realistic sequence, as the report shows it.
    void sessionState()
    {
        Session session;
        const QJsonObject s = stateAfter(session, {
            "", "cloudConfig@old@x", "cloudConfig@c1@c2", "ClientLogin@u1@@0", "ClientLogin@u1@L9@1",
            "StreamNode@n@d", "ExceptionCheck@a@b", "ExceptionCheck@c@d", "bogus@1",
            "subProcessInfo@{\"SDKBeginTime\":1700000000,\"appName\":\"w.exe\",\"role\":\"r\",\"status\":1,\"subProcessPid\":\"4242\"}",
            "subProcessInfo@{\"appName\":\"v.exe\",\"status\":2,\"subProcessPid\":\"not a pid\"}",
            "subProcessInfo@{\"appName\":\"w.exe\",\"status\":0,\"subProcessPid\":\"4343\"}",
            "subProcessInfo@{\"appName\":\"w.exe\",\"subProcessPid\":\"7\"", // malformed: counted, changes nothing
        });
        QCOMPARE(s["cloudConfig"].toObject(), (QJsonObject {{"config1", "c1"}, {"config2", "c2"}}));
        QCOMPARE(s["login"].toObject(), (QJsonObject {{"userId", "u1"}, {"liveId", "L9"}, {"liveFlag", "1"}}));
        QCOMPARE(s["streamNode"].toObject(), (QJsonObject {{"node", "n"}, {"nodeDetail", "d"}}));
        QCOMPARE(s["exceptionChecks"].toArray(), (QJsonArray {QJsonObject {{"info1", "a"}, {"info2", "b"}}, QJsonObject {{"info1", "c"}, {"info2", "d"}}}));
        QCOMPARE(s["exitClient"].toBool(), false);
        QCOMPARE(s["counts"].toObject(), (QJsonObject {{"messages", 13}, {"emptyFrames", 1}, {"unknownCommands", 1}, {"malformed", 1},
                                                        {"invalidUtf8", 0}, {"oversizeFramesDropped", 0}, {"exceptionChecks", 2}, {"subProcessesIgnored", 0}}));
        // One record per executable name: the later w.exe replaced the first whole; only usable pids are watched.
        QCOMPARE(s["subProcesses"].toArray().size(), 2);
        QCOMPARE(s["subProcesses"][0].toObject(), (QJsonObject {{"appName", "w.exe"}, {"pid", "4343"}, {"role", ""}, {"version", ""}, {"dmpPath", ""},
                                                               {"subLogFile", ""}, {"status", 0}, {"exitedWhileHostRan", false}}));
        QCOMPARE(session.runningSubProcessPids(), QList<qint64> {4343});

        QCOMPARE(session.noteSubProcessExit(4343, QDateTime::currentDateTimeUtc()), QStringLiteral("w.exe"));
        QCOMPARE(session.noteSubProcessExit(4343, QDateTime::currentDateTimeUtc()), QString());
        QVERIFY(session.runningSubProcessPids().isEmpty());
        QVERIFY(stateAfter(session, {"ExitClient"})["subProcesses"][0]["exitedWhileHostRan"].toBool());
        QVERIFY(session.exitClientReceived());
    }

    void sessionIsBounded()
    {
        Session session;
        for (int i = 0; i < 1000; ++i) {
            const QByteArray n = QByteArray::number(i);
            stateAfter(session, {"ExceptionCheck@" + n + "@x", "subProcessInfo@{\"appName\":\"p" + n + "\",\"subProcessPid\":\"1" + n + "\"}"});
        }
        const QJsonObject s = session.toJson(); // the latest exception checks kept, the first sub-processes
        QCOMPARE(QJsonArray({s["exceptionChecks"].toArray().size(), s["exceptionChecks"][Session::kMaxExceptionChecks - 1]["info1"],
                             s["counts"]["exceptionChecks"], session.subProcesses().size(), s["counts"]["subProcessesIgnored"]}),
                 QJsonArray({Session::kMaxExceptionChecks, "999", 1000, Session::kMaxSubProcesses, 1000 - Session::kMaxSubProcesses}));
    }

    void arguments()
    {
        HandlerArgs args;
        QString error;
        const QList<QStringList> bad {{}, {"12", "d", "a", "c", "1", "2"}, {"12", "d", "a", "c", "1", "2", "3", "4"},
                                      {"12x", "d", "a", "c", "1", "2", "3"}, {"-5", "d", "a", "c", "1", "2", "3"}};
        for (const QStringList &argv : bad)
            QVERIFY2(!HandlerArgs::parse(argv, &args, &error), qPrintable(argv.join(' ')));
        QVERIFY(HandlerArgs::parse({"812", "C:\\dumps\\app", "my app/1", "cli", "", "p2", "p3"}, &args, &error));
        QCOMPARE(QStringList({QString::number(args.hostPid), args.dumpFolder, args.serverName(), DumpFolder::reportName(args, QDateTime(QDate(2026, 12, 5), QTime(18, 15), Qt::UTC))}),
                 QStringList({"812", "C:/dumps/app", "Kiv_Crash_Handler_812", "my_app_1-812-20261205T181500Z.json"}));
    }

    // The report reads the client info file by attribute name and the tails of the logs it names;
    // missing pieces are noted, not fatal; the bytes are the report.
    void crashReport()
    {
        QTemporaryDir dir;
        const QString base = dir.path();
        const QString infoPath = base + "/home/AppData/Local/OstrelSDK/KivClientInfo_cli_812.xml";
        QByteArray hostLog;
        for (int i = 0; hostLog.size() < 100 * 1024; ++i)
            hostLog += "host line " + QByteArray::number(i) + '\n';
        const QList<QPair<QString, QByteArray>> files {
            {base + "/host.log", hostLog}, {base + "/tp1.log", "third party one\n"},
            {infoPath, "<?xml version=\"1.0\"?>\n<ClientInfo logPath=\"" + base.toUtf8() + "/host.log\" thirdpartyLogPath=\""
                               + base.toUtf8() + "/tp1.log;" + base.toUtf8() + "/missing.log\" node=\"n&amp;1\"/>\n"}};
        for (const auto &file : files)
            QVERIFY(TestFiles::writeAll(file.first, file.second));

        CrashReport::Context context;
        QString error;
        QVERIFY(HandlerArgs::parse({"812", base, "app", "cli", "", "", ""}, &context.args, &error));
        context.homePath = base + "/home";
        const Session session;
        const QJsonObject report = CrashReport::build(context, session);
        QCOMPARE(report["clientInfo"]["attributes"]["node"].toString(), QStringLiteral("n&1"));
        QVERIFY(report["logs"]["host"]["cut"].toBool());
        QCOMPARE(report["logs"]["host"]["tail"].toString().toUtf8(), hostLog.right(int(CrashReport::kTailBytes)));
        const QJsonValue tp = report["logs"]["thirdparty"];
        QCOMPARE(QJsonArray({tp.toArray().size(), tp[0]["found"], tp[0]["cut"], tp[0]["tail"], tp[1]["found"]}), (QJsonArray {2, true, false, "third party one\n", false}));
        QCOMPARE(QJsonDocument::fromJson(CrashReport::toBytes(report)).object(), report);

        // No client info file: noted, and the logs it would have named are simply not there.
        QVERIFY(QFile::remove(infoPath));
        const QJsonObject bare = CrashReport::build(context, session);
        QCOMPARE(bare["clientInfo"]["found"].toBool(), false);
        QVERIFY(!bare["clientInfo"]["error"].toString().isEmpty());
        QCOMPARE(bare["logs"]["host"]["found"].toBool(), false);
    }
};

QTEST_APPLESS_MAIN(tst_Handler)
#include "tst_handler.moc"
