// The reference crash handler's pure parts: the message parser, the session state, the arguments
// and the crash report. The frame reader is the fuzz target's (fuzz_handlerframes): its committed
// inputs replay the 1 MiB bound from both sides. Then its files: private modes whatever the umask,
// the fallback folder, planted links, restoring an earlier handler's session, and where reports and
// their dumps go.

#include "capture/capture.h"
#include "report/crashreport.h"
#include "storage/dumpfolder.h"
#include "storage/privatefiles.h"
#include "storage/retention.h"
#include "handlerargs.h"
#include "protocol/handlermessage.h"
#include "session/session.h"
#include "session/sessionrestore.h"
#include "testfiles.h"

#include <QtTest>

using TestFiles::modeOf;

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QJsonObject stateAfter(Session &session, const QList<QByteArray> &frames)
{
    for (const QByteArray &frame : frames)
        session.apply(HandlerMessage::parse(frame));
    return session.toJson();
}

QByteArray journalLine(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

QJsonObject message(const QString &text)
{
    return {{"event", "message"}, {"text", text}};
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
        // A wrong count is handler_run's (wrongArgumentCount), through the program's usage line.
        for (const QString pid : {"12x", "-5", " 12"}) {
            QVERIFY(!HandlerArgs::parse({pid, "d", "a", "c", "1", "2", "3"}, &args, &error));
            QCOMPARE(error, "host pid is not a number: \"" + pid + '"');
        }
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

    // A wide umask does not widen what the handler creates (Windows has no modes and no umask: a
    // folder it makes gets a user-only DACL, read back as 0700, which Wine stores but does not
    // enforce); an existing file is reopened, a report replaced whole; an existing open folder is
    // used and said to be open; a folder that is a file sends everything to the per-user folder.
    void privateByDefault()
    {
        QTemporaryDir dir;
        qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath("state")));
#ifndef Q_OS_WIN
        const mode_t old = ::umask(0);
#endif
        const PrivateFiles::Folder made = PrivateFiles::chooseFolder(dir.filePath("a/b"));
        QVERIFY(made.created && !made.isFallback());
        const QJsonObject again = PrivateFiles::chooseFolder(dir.filePath("a/b")).toJson();
        QCOMPARE(QJsonArray({again["created"], again["mode"], again["private"]}), QJsonArray({false, "0700", true}));
        QString error;
        for (int i = 0; i < 2; ++i) {
            const int fd = PrivateFiles::openForAppend(dir.filePath("a/b/j"), &error);
            QVERIFY2(fd >= 0, qPrintable(error));
            ::close(fd);
            QVERIFY2(PrivateFiles::writeAtomically(dir.filePath("a/b"), "r.json", QByteArray::number(i), &error), qPrintable(error));
        }
        QCOMPARE(TestFiles::readAll(dir.filePath("a/b/r.json")), QByteArray("1"));
        QCOMPARE(QDir(dir.filePath("a/b")).entryList(QDir::Files | QDir::Hidden), QStringList({"j", "r.json"}));
        QVERIFY(TestFiles::writeAll(dir.filePath("file"), "x"));
        const PrivateFiles::Folder fallback = PrivateFiles::chooseFolder(dir.filePath("file"));
        QCOMPARE(fallback.fallbackReason, dir.filePath("file") + " is not a folder");
#ifndef Q_OS_WIN
        QCOMPARE(QList<int>({modeOf(dir.filePath("a")), modeOf(dir.filePath("a/b")), modeOf(dir.filePath("a/b/j")), modeOf(dir.filePath("a/b/r.json"))}),
                 QList<int>({0700, 0700, 0600, 0600}));
        QCOMPARE(fallback.path, dir.filePath("state/OstrelSDK/reports"));
        QCOMPARE(modeOf(fallback.path), 0700);
        ::umask(old);

        QVERIFY(QDir().mkdir(dir.filePath("open")));
        QVERIFY(QFile::setPermissions(dir.filePath("open"), QFileDevice::Permissions(0x7755)));
        const QJsonObject open = PrivateFiles::chooseFolder(dir.filePath("open")).toJson();
        QCOMPARE(QJsonArray({open["path"], open["mode"], open["private"], open["created"]}),
                 QJsonArray({dir.filePath("open"), "0755", false, false}));
        QVERIFY(open["note"].toString().contains("open to other users"));
#endif
        qunsetenv("XDG_STATE_HOME");
    }

#ifdef Q_OS_WIN
    // QFile::link makes a shell shortcut on Windows; Wine runs everything as one user.
    void plantedLinks() { QSKIP("QFile::link makes shortcuts on Windows, not links the file system follows"); }
#else
    // A link planted under a name the handler writes is never written through.
    void plantedLinks()
    {
        QTemporaryDir dir, outside;
        const QString victim = outside.filePath("victim");
        QVERIFY(TestFiles::writeAll(victim, "keep"));
        QVERIFY(QFile::link(victim, dir.filePath("app-1.journal.jsonl")));
        QVERIFY(QFile::link(victim, dir.filePath("app-1-20260101T000000Z.json")));

        QString error;
        QCOMPARE(PrivateFiles::openForAppend(dir.filePath("app-1.journal.jsonl"), &error), -1);
        QCOMPARE(error, dir.filePath("app-1.journal.jsonl") + " is a symbolic link");
        Session session;
        const SessionRestore::Result read = SessionRestore::fromJournal(dir.filePath("app-1.journal.jsonl"), HostProcess::learn(QCoreApplication::applicationPid()).identity(), &session);
        QCOMPARE(read.notes, QStringList("earlier journal not read: " + error));

        HandlerArgs args;
        QVERIFY(HandlerArgs::parse({"1", dir.path(), "app", "c", "", "", ""}, &args, &error));
        QCOMPARE(DumpFolder(args).reserveReport(QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC)).path, dir.filePath("app-1-20260101T000000Z-2.json"));
        QVERIFY(PrivateFiles::writeAtomically(dir.path(), "app-1-20260101T000000Z.json", "{}", &error));
        QVERIFY(!QFileInfo(dir.filePath("app-1-20260101T000000Z.json")).isSymLink());
        QCOMPARE(TestFiles::readAll(victim), QByteArray("keep"));

        // Another user's file under the journal's name is neither read nor appended to.
        if (geteuid() != 0)
            return;
        QVERIFY(TestFiles::writeAll(dir.filePath("app-2.journal.jsonl"), "{}\n") && ::chown(QFile::encodeName(dir.filePath("app-2.journal.jsonl")), 65534, 65534) == 0);
        QCOMPARE(PrivateFiles::openForAppend(dir.filePath("app-2.journal.jsonl"), &error), -1);
        QCOMPARE(error, dir.filePath("app-2.journal.jsonl") + ": owned by uid 65534, not by this user");
    }
#endif

    // Only this host's lines are replayed, marked as restored; a partial last line ends the reading.
    void restoreFromJournal()
    {
        QTemporaryDir dir;
        const HostIdentity self = HostProcess::learn(QCoreApplication::applicationPid()).identity();
        QVERIFY(!self.startedAt.isEmpty());
        QJsonObject other = self.toJson();
        other.insert("hostStartedAt", "2001-01-01T00:00:00.000Z");
        QJsonObject start = self.toJson();
        start.insert("event", "start");
        other.insert("event", "start");
        QByteArray bytes = journalLine(other) + journalLine(message("ClientLogin@old@@0"));
        bytes += journalLine(start) + journalLine(message("ClientLogin@u1@L1@1")) + journalLine(message("ExceptionCheck@a@b"))
                + journalLine(message("cloudConfig@dsn=http://k@127.0.0.1:9/1;upload=on@"))
                + "not json\n" + journalLine(message("subProcessInfo@{\"appName\":\"w\",\"subProcessPid\":\"77\"}"))
                + journalLine({{"event", "message"}, {"text", "StreamNode@n"}, {"seq", 41}}) + "{\"event\":\"message\",\"te";
        QVERIFY(TestFiles::writeAll(dir.filePath("j"), bytes));

        Session session;
        const SessionRestore::Result r = SessionRestore::fromJournal(dir.filePath("j"), self, &session);
        QCOMPARE(QJsonArray({r.source, r.messages, double(r.lastSequence), r.sameHost, r.otherHost}), QJsonArray({"journal", 5, 41, true, true}));
        QCOMPARE(r.notes.size(), 3); // partial line, damaged line, other host
        QVERIFY(r.notes.at(0).contains("partial last line (22 bytes)"));
        session.apply(HandlerMessage::parse("StreamNode@live@d"));
        const QJsonObject s = session.toJson();
        QCOMPARE(session.cloudConfigText(), QString("dsn=http://k@127.0.0.1:9/1;upload=on@")); // what delivery is told
        QCOMPARE(QJsonArray({s["restored"], s["login"]["userId"], s["streamNode"]["node"], s["exceptionChecks"][0]["restored"], s["subProcesses"][0]["restored"]}),
                 QJsonArray({QJsonArray({"cloudConfig", "login"}), "u1", "live", true, true}));
    }

    // A damaged client info file is noted and changes nothing; a good one restores the login and the node.
    void restoreFromClientInfo()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("ci.xml");
        const HostIdentity self = HostProcess::learn(QCoreApplication::applicationPid()).identity();
        Session session;
        SessionRestore::Result r;
        QVERIFY(TestFiles::writeAll(path, "<ClientInfo id=\"u7\""));
        QVERIFY(!SessionRestore::fromClientInfo(path, self, &session, &r));
        QVERIFY2(r.notes.value(0).startsWith("client info file not used: not well-formed XML: "), qPrintable(r.notes.value(0)));
        QVERIFY(session.toJson()["login"].isNull());
        QVERIFY(TestFiles::writeAll(path, "<?xml version='1.0'?><ClientInfo id=\"u7\" liveid=\"L\" node=\"n\" logPath=\"\"/>"));
        QVERIFY(SessionRestore::fromClientInfo(path, self, &session, &r));
        QCOMPARE(session.toJson()["restored"].toArray(), QJsonArray({"login", "streamNode"}));
        QCOMPARE(session.toJson()["login"].toObject(), QJsonObject({{"userId", "u7"}, {"liveId", "L"}, {"liveFlag", ""}}));
    }

    // The oldest reports of the application go, with what belongs to them (their host's journals
    // once no process has its pid: pids above the kernel's limit never run); nothing else is touched.
    // Crashes (and unreadable reports) count against DumpCount; exits and kills have a budget of
    // their own, so newer exits never push a crash out.
    void retention()
    {
        QTemporaryDir dir;
        QStringList expected;
        for (int i = 0; i < 9; ++i) {
            const QString name = QStringLiteral("app-%1-2026010%2T000000Z.json").arg(4194400 + i).arg(i + 1);
            QVERIFY(TestFiles::writeAll(dir.filePath(name), i < 5 ? "{}" : i % 2 ? R"({"crash": {"kind": "exited"}})" : R"({"crash": {"kind": "killed"}})"));
            expected.append(name);
        }
        for (const char *other : {"app-4194400-20260101T000000Z.core", "app-4194400.journal.jsonl", "app-4194400-20250101T000000000Z.journal.jsonl",
                                  "app-x-4194400-20250101T000000Z.json", "app-x-4194400.journal.jsonl", "app-1.journal.jsonl", "other-1-20250101T000000Z.json"})
            QVERIFY(TestFiles::writeAll(dir.filePath(other), "x"));
        QCOMPARE(Retention::reportsOf(dir.path(), "app"), expected);
        QVERIFY(Retention::enforce(dir.path(), "app", 0).isEmpty());
        QCOMPARE(Retention::enforce(dir.path(), "app", 3),
                 QStringList({"app-4194400-20250101T000000000Z.journal.jsonl", "app-4194400-20260101T000000Z.core", "app-4194400-20260101T000000Z.json",
                              "app-4194400.journal.jsonl", "app-4194401-20260102T000000Z.json", "app-4194405-20260106T000000Z.json"}));
        QCOMPARE(Retention::reportsOf(dir.path(), "app"), expected.mid(2, 3) + expected.mid(6));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 10);
        QCOMPARE(Retention::enforce(dir.path(), "app", 2), QStringList({"app-4194402-20260103T000000Z.json", "app-4194406-20260107T000000Z.json"}));

        // Written within one tick of the file system's clock, "-2" is still the newer of a pair.
        const QDateTime tick(QDate(2027, 1, 1), QTime(0, 0), Qt::UTC);
        for (const char *name : {"app-1-20270101T000000Z-2.json", "app-1-20270101T000000Z.json"}) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.setFileTime(tick, QFileDevice::FileModificationTime));
        }
        QCOMPARE(Retention::reportsOf(dir.path(), "app").mid(4), QStringList({"app-1-20270101T000000Z.json", "app-1-20270101T000000Z-2.json"}));
    }

    // Two reports that want one name (a host relaunched under a reused pid within a second): each
    // kept dump is named after its own report, so retention removes a report with its own dump.
    // A folder gone before the report comes leaves a stated reason and no file.
    void reportsKeepTheirDumps()
    {
        QTemporaryDir dir;
        HandlerArgs args;
        QString error;
        QVERIFY(HandlerArgs::parse({"4194400", dir.path(), "app", "c", "", "", ""}, &args, &error));
        const DumpFolder files(args);
        const QDateTime gone(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
        const QString first = dir.filePath("app-4194400-20260101T000000Z");
        const QString second = first + "-2";
        for (const QString &expected : {first, second}) {
            const DumpFolder::Reservation reservation = files.reserveReport(gone);
            QCOMPARE(reservation.path, expected + ".json");
            Capture::Result capture;
            capture.dump = Dump {dir.filePath("core.1234"), false, "core", ".core"};
            QVERIFY(TestFiles::writeAll(capture.dump.path, expected.toUtf8()));
            const DumpFolder::Placement placement = files.placeReport(reservation, [&] {
                Capture::placeDump(&capture, reservation.dumpStem, true);
                return CrashReport::toBytes(capture.report);
            }, 1);
            QCOMPARE(placement.path, reservation.path);
            QCOMPARE(QJsonDocument::fromJson(TestFiles::readAll(placement.path))["core"]["keptAt"].toString(), expected + ".core");
            QCOMPARE(TestFiles::readAll(expected + ".core"), expected.toUtf8());
        }
        QCOMPARE(QDir(dir.path()).entryList({"app-*"}, QDir::Files), QStringList({"app-4194400-20260101T000000Z-2.core", "app-4194400-20260101T000000Z-2.json"}));

        QVERIFY(dir.remove());
        const DumpFolder::Reservation none = files.reserveReport(gone);
        QVERIFY(none.path.isEmpty());
        QVERIFY(!none.error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_Handler)
#include "tst_handler.moc"
