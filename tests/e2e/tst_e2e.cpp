// End to end: the demo host and the reference crash handler as shipped, run as child processes
// with a HOME and a work folder of their own. Each test ends only when no crash handler for its
// host is left running. Under Wine, crashScenario runs where ostrel-wer-standin plays Windows Error
// Reporting (see CMakeLists.txt), and the scenarios that need Linux's processes, users and files skip.

#include "asordinaryuser.h"
#include "localdumpsettings.h"
#include "standin.h"

#include <QtNetwork>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <unistd.h>
#endif

using StandIn::handlersFor;
using TestFiles::modeOf;
using TestFiles::pick;
using TestFiles::readAll;
using TestFiles::writeAll;

namespace {

const QString kBin = QStringLiteral(OSTREL_BIN_DIR);
const QString kHandler = kBin + "/KivCrashHandler.exe";

#ifdef Q_OS_WIN
bool killProcess(qint64 pid)
{
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    const bool ok = process && TerminateProcess(process, 1);
    if (process)
        CloseHandle(process);
    return ok;
}
bool processRuns(qint64 pid)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    DWORD code = 0;
    const bool runs = process && GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    if (process)
        CloseHandle(process);
    return runs;
}
bool runsAsRoot() { return false; }
// The library keeps the client info file in the user's profile, whatever HOME says.
QString clientInfoHome(const QString &) { return QDir::homePath(); }
// What the summary of the demo's crash names: the exception, its code, and the crash site that
// the handler's stack walk named.
const QStringList kCrashNamed {"EXCEPTION_ACCESS_VIOLATION", "0xC0000005", "crashOnPurpose", "main.cpp:"};
#else
bool killProcess(qint64 pid) { return ::kill(pid_t(pid), SIGKILL) == 0; }
bool processRuns(qint64 pid) { return !readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)).isEmpty(); }
bool runsAsRoot() { return geteuid() == 0; }
QString clientInfoHome(const QString &home) { return home; }
// The demo's own function, from its debug information or (in a release build) its symbol table.
const QStringList kCrashNamed {"ostrel-demo crashed: SIGSEGV", "in thread main: ", "crashOnPurpose"};
#endif

// A host run in its own folders; prints the host's stderr when the test failed.
struct Host
{
    QTemporaryDir dir;
    QProcess process;
    qint64 pid = 0;

    Host(const QString &program, QStringList args)
    {
        process.setProcessEnvironment(TestFiles::environmentWith("HOME", path("home")));
        process.start(program, args.replaceInStrings("<dir>", dir.path()));
        process.waitForStarted();
        pid = process.processId();
    }
    ~Host()
    {
        if (QTest::currentTestFailed())
            qWarning("host stderr:\n%s", process.readAllStandardError().constData());
        process.kill();
        process.waitForFinished();
    }
    QString path(const QString &relative) const { return dir.path() + '/' + relative; }
    QStringList reports() const { return QDir(path("dumps")).entryList({"*.json"}, QDir::Files); }
    QJsonObject report() const { return TestFiles::jsonObject(path("dumps/") + reports().value(0)); }
    QList<QJsonObject> journal(const QString &appName) const { return TestFiles::jsonLines(path("dumps/%1-%2.journal.jsonl").arg(appName).arg(pid)); }
};

} // namespace

class tst_E2E : public QObject
{
    Q_OBJECT

private slots:
    // A second handler for a host that is already served leaves quietly; one started after the first
    // was killed takes over its stale server name and remembers what the first was told (the login
    // goes once per host process); a client that is not the host is refused; a host that ends
    // without a word gets a report, in private files.
    void commandLine()
    {
        SKIP_ON_WINDOWS("it checks file modes, the GNU build id and the handlers found through /proc, which are Linux's");
        Host host(OSTREL_CRASH_HOST, {"wait"}); // speaks the protocol itself, as its stdin says (see crash_host.cpp)
        QVERIFY(host.process.waitForReadyRead(10000) && host.process.readLine() == "ready\n");
        const auto tell = [&host](const QByteArray &line) {
            host.process.write(line + '\n');
            return host.process.waitForReadyRead(10000) ? host.process.readLine().trimmed() : QByteArray();
        };
        const QStringList args {QString::number(host.pid), host.path("dumps").replace('/', '\\'), "sleeper", "c", "p1", "", "p3"};
        const auto serving = [&] { QLocalSocket probe; probe.connectToServer(QStringLiteral("Kiv_Crash_Handler_%1").arg(host.pid)); return probe.waitForConnected(1000); };
        QVERIFY(QProcess::startDetached(kHandler, args));
        QTRY_VERIFY_WITH_TIMEOUT(serving(), 10000);
        QCOMPARE(tell("connect " + QFile::encodeName(QDir::tempPath()) + "/Kiv_Crash_Handler_" + QByteArray::number(host.pid)), QByteArray("connected"));
        QVERIFY(tell("send cloudConfig@c1@c2$ClientLogin@u-17@live-5@1$StreamNode@edge-2@rtmp://edge-2$ExceptionCheck@stall@frame=9$"
                     "subProcessInfo@{\"appName\":\"w\",\"subProcessPid\":\"4194400\",\"status\":1}").startsWith("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(pick(host.journal("sleeper"), "command", "message").contains("subProcessInfo"), 10000);
        QProcess second;
        second.start(kHandler, args);
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(handlersFor(host.pid).size(), 1);

        QVERIFY(killProcess(handlersFor(host.pid).value(0)));
        QTRY_VERIFY_WITH_TIMEOUT(handlersFor(host.pid).isEmpty() && !serving(), 10000);
        QVERIFY(QProcess::startDetached(kHandler, args));
        QTRY_VERIFY_WITH_TIMEOUT(serving(), 10000);

        host.process.kill();
        QVERIFY(host.process.waitForFinished()); // reaped: a zombie would still count as running
        QTRY_VERIFY_WITH_TIMEOUT(handlersFor(host.pid).isEmpty(), 15000);
        const QJsonObject r = host.report();
        QCOMPARE(r["handlerParams"].toArray(), (QJsonArray {"p1", "", "p3"}));
        const QJsonObject s = r["session"].toObject();
        const QJsonArray restored {s["login"], s["streamNode"]["node"], s["exceptionChecks"][0]["restored"], s["subProcesses"][0]["restored"], s["restored"]};
        QVERIFY2(restored == (QJsonArray {QJsonObject {{"userId", "u-17"}, {"liveId", "live-5"}, {"liveFlag", "1"}}, "edge-2", true, true,
                                          QJsonArray {"cloudConfig", "login", "streamNode"}}),
                 QJsonDocument(r).toJson().constData());
        QCOMPARE(r["restored"]["source"].toString(), QStringLiteral("journal"));
        // The probes above came from this test, not from the host: refused and journaled.
        QVERIFY(pick(host.journal("sleeper"), "reason", "refusedClient").contains("not the host"));
        QVERIFY(r["environment"]["hostRanSeconds"].toDouble() > 0 && !r["environment"]["qtRuntime"].toString().isEmpty());
        QCOMPARE(r["environment"]["executableBuildId"].toString().size(), 40); // the host's GNU build id, SHA-1

        // One sequence over both handlers' lines; the folder it made and the files are private.
        const QList<QJsonObject> journal = host.journal("sleeper");
        QCOMPARE(pick(journal, "event", "start").size(), 2);
        const QStringList seq = pick(journal, "seq");
        for (int i = 0; i < seq.size(); ++i)
            QCOMPARE(seq.at(i).toInt(), i + 1);
        QCOMPARE(QList<int>({modeOf(host.path("dumps")), modeOf(host.path("dumps/") + host.reports().value(0)),
                             modeOf(host.path("dumps/sleeper-%1.journal.jsonl").arg(host.pid))}), QList<int>({0700, 0600, 0600}));
    }

    void crashScenario()
    {
        Host host(kBin + "/ostrel-demo", {"--workdir", "<dir>"});
        QVERIFY(host.process.waitForFinished(60000)); // within the library's first retry, 20 s on
        // Killed by SIGSEGV, or (under AddressSanitizer) ended by its report; on Windows, ended with
        // the exception code.
        QVERIFY(host.process.exitStatus() == QProcess::CrashExit || host.process.exitCode() != 0);
        QTRY_VERIFY_WITH_TIMEOUT(handlersFor(host.pid).isEmpty() && !host.reports().isEmpty(), 30000);

        QCOMPARE(host.reports().size(), 1);
        QVERIFY2(host.reports().at(0).startsWith(QStringLiteral("ostrel-demo-%1-").arg(host.pid)), qPrintable(host.reports().at(0)));
        const QJsonObject r = host.report();
        QCOMPARE(QJsonArray({r["hostPid"], r["appName"], r["clientName"], r["dumpFolder"], r["handlerParams"]}),
                 (QJsonArray {double(host.pid), "ostrel-demo", "demo", host.path("dumps"), QJsonArray {"channel=stable", "build=1234", "upload=off"}}));
        QCOMPARE(r["environment"]["commandLine"][1].toString(), QString("--workdir")); // a restart passes it on
        // The summary names what crashed and where (unless AddressSanitizer caught the crash first).
        const QString summary = r["summary"].toString();
        for (const QString &word : kCrashNamed)
            QVERIFY2(host.process.exitStatus() == QProcess::NormalExit || summary.contains(word), qPrintable(summary));
        // No frame gets the line of a function it is not in: the C runtime's _start has none.
        for (const QJsonValue &thread : r["crash"]["analysis"]["threads"].toArray())
            for (const QJsonValue &frame : thread["frames"].toArray())
                QVERIFY2(frame["function"] != "_start" || frame["file"].isUndefined(), qPrintable(frame["file"].toString()));

        // The session as the messages below left it (how each message changes it: the handler's tests).
        const QJsonObject s = r["session"].toObject();
        QCOMPARE(s["login"].toObject(), (QJsonObject {{"userId", "demo-user-42"}, {"liveId", "live-1001"}, {"liveFlag", "1"}}));
        QCOMPARE(s["exitClient"].toBool(), false);
        const QJsonObject worker = s["subProcesses"][0].toObject();
        // It ended with its host, not while the host ran.
        QCOMPARE(QJsonArray({worker["role"], worker["status"], worker.contains("sdkBeginTime"), worker["exitedWhileHostRan"]}),
                 (QJsonArray {"worker", 1, true, false}));

        QCOMPARE(QJsonArray({r["clientInfo"]["path"], r["clientInfo"]["attributes"]["node"], r["logs"]["thirdparty"].toArray().size()}),
                 (QJsonArray {clientInfoHome(host.path("home")) + QStringLiteral("/AppData/Local/OstrelSDK/KivClientInfo_demo_%1.xml").arg(host.pid),
                              "edge-7", 1}));
        QVERIFY(r["logs"]["host"]["tail"].toString().contains("about to crash on purpose"));
        QVERIFY(r["logs"]["thirdparty"][0]["tail"].toString().endsWith("player: last frame before the crash\n"));

        const QList<QJsonObject> journal = host.journal("ostrel-demo");
        QCOMPARE(pick(journal, "text", "message").replaceInStrings(QRegularExpression("^subProcessInfo@\\{.*"), "subProcessInfo@{...}"),
                 (QStringList {"cloudConfig@region=eu-west@sampling=1.0", "ClientLogin@demo-user-42@@0", "ClientLogin@demo-user-42@live-1001@1",
                               "StreamNode@edge-7@rtmp://edge-7.example/live", "ExceptionCheck@render-stall@frame=1234", "subProcessInfo@{...}"}));
        QCOMPARE(QStringList({pick(journal, "event").first(), pick(journal, "event").last()}), QStringList({"start", "crashReport"}));
        QTRY_VERIFY_WITH_TIMEOUT(!processRuns(worker["pid"].toString().toLongLong()), 10000); // the worker is gone
    }

    void cleanScenario()
    {
        Host host(kBin + "/ostrel-demo", {"--clean", "--workdir", "<dir>"});
        QVERIFY(host.process.waitForFinished(60000)); // within the library's first retry, 20 s on
        QVERIFY(host.process.exitStatus() == QProcess::NormalExit && host.process.exitCode() == 0);
        QTRY_VERIFY_WITH_TIMEOUT(handlersFor(host.pid).isEmpty(), 15000);

        // Nothing is kept of a clean session: no report, and its journal removed (on Windows, where
        // the handler is not looked for, once it has ended).
        QTRY_COMPARE_WITH_TIMEOUT(QDir(host.path("dumps")).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList(), 15000);
    }

    // A dump folder that is a file: the report and the journal go to the per-user folder and say
    // why; nothing reaches the standard streams the handler got from its launcher.
    void unusableDumpFolder()
    {
        SKIP_ON_WINDOWS("the fallback folder is the XDG state folder, which is Linux's");
        QTemporaryDir work;
        QVERIFY(writeAll(work.filePath("dumps"), ""));
        Host host("sleep", {"60"});
        QProcess handler;
        handler.setProcessEnvironment(TestFiles::environmentWith("XDG_STATE_HOME", work.filePath("state")));
        handler.start(kHandler, {QString::number(host.pid), work.filePath("dumps"), "lost", "c", "", "", ""});
        const QString fallback = work.filePath("state/OstrelSDK/reports");
        const QString journal = QStringLiteral("%1/lost-%2.journal.jsonl").arg(fallback).arg(host.pid);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(journal), 10000);
        host.process.kill();
        QVERIFY(handler.waitForFinished(15000));
        QCOMPARE(handler.exitCode(), 0);
        QCOMPARE(handler.readAll() + handler.readAllStandardError(), QByteArray());

        const QString why = work.filePath("dumps") + " is not a folder";
        const QStringList reports = QDir(fallback).entryList({"lost-*.json"}, QDir::Files);
        QCOMPARE(reports.size(), 1);
        QVERIFY(QJsonDocument::fromJson(readAll(fallback + '/' + reports.first()))["storage"]["note"].toString().contains(why));
        QVERIFY(QJsonDocument::fromJson(readAll(journal).split('\n').first())["storage"]["note"].toString().contains(why));
    }

    // Two hosts of one application crash at once into one dump folder that keeps DumpCount 3
    // reports: both new reports are written and exactly the oldest two of the earlier ones go.
    void concurrentHostsRetention()
    {
        SKIP_ON_WINDOWS("DumpCount is read from the INI stand-in of the registry, which is Linux's");
        QTemporaryDir work;
        const QString dumps = work.filePath("dumps");
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, work.filePath("wer"));
        QSettings(QSettings::IniFormat, QSettings::UserScope, localDumpsOrganization(), "twin.exe").setValue("DumpCount", 3);
        QStringList earlier;
        for (int i = 1; i <= 3; ++i) {
            earlier.append(QStringLiteral("twin-%1-2020010%1T000000Z.json").arg(i));
            QVERIFY(writeAll(dumps + '/' + earlier.last(), R"({"crash": {"kind": "killed"}})")); // counted with the kills below
        }

        const QProcessEnvironment env = TestFiles::environmentWith("OSTREL_WER_SETTINGS_DIR", work.filePath("wer"));
        Host a("sleep", {"60"}), b("sleep", {"60"});
        for (Host *host : {&a, &b}) {
            QProcess handler;
            handler.setProgram(kHandler);
            handler.setArguments({QString::number(host->pid), dumps, "twin", "c", "", "", ""});
            handler.setProcessEnvironment(env);
            QVERIFY(handler.startDetached());
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QStringLiteral("%1/twin-%2.journal.jsonl").arg(dumps).arg(host->pid)), 10000);
        }
        a.process.kill();
        b.process.kill();
        QTRY_VERIFY_WITH_TIMEOUT(handlersFor(a.pid).isEmpty() && handlersFor(b.pid).isEmpty(), 15000);

        const QStringList reports = QDir(dumps).entryList({"twin-*.json"}, QDir::Files);
        QCOMPARE(reports.size(), 3);
        QVERIFY(reports.contains(earlier.last()));
        QCOMPARE(reports.filter(QRegularExpression(QStringLiteral("^twin-(%1|%2)-2\\d{7}T").arg(a.pid).arg(b.pid))).size(), 2);
    }

    // Another user holds the host's handler name first: a live server (our handler runs as root) or
    // a leftover file it cannot remove (our handler runs as nobody). The handler sends nothing to
    // it and still covers the host: it reports from the client info file and names the user, and
    // takes the name once the other server is gone. A relaunched handler finds the host watched and
    // leaves quietly.
    void squattedName_data()
    {
        QTest::addColumn<bool>("live");
        QTest::addColumn<QString>("holder");
        QTest::addColumn<QString>("reason");
        QTest::newRow("live server") << true << "uid 65534" << "served by another user";
        QTest::newRow("leftover file") << false << "uid 0" << "left behind by another user and cannot be removed: ";
    }
    void squattedName()
    {
        SKIP_ON_WINDOWS("holding the name as another user needs a second user, which Wine does not have");
        QFETCH(bool, live);
        QFETCH(QString, holder);
        QFETCH(QString, reason);
        if (!runsAsRoot())
            QSKIP("holding the name as another user needs root");
        Host host("sleep", {"60"});
        const QString info = host.path(QStringLiteral("home/AppData/Local/OstrelSDK/KivClientInfo_c_%1.xml").arg(host.pid));
        QVERIFY(QDir().mkpath(QFileInfo(info).path()) && QDir().mkpath(host.path("dumps")));
        QVERIFY(TestFiles::writeAll(info, "<?xml version=\"1.0\"?>\n<ClientInfo id=\"u7\"/>\n"));

        const QString name = QStringLiteral("Kiv_Crash_Handler_%1").arg(host.pid);
        QLocalServer squatter;
        QFile leftover(QDir::temp().filePath(name));
        const auto cleanUp = qScopeGuard([&] { leftover.remove(); });
        QString program = kHandler;
        QStringList args {QString::number(host.pid), host.path("dumps"), "sleeper", "c", "", "", ""};
        if (live) {
            AsOrdinaryUser nobody;
            QVERIFY(nobody.ok);
            QVERIFY(squatter.listen(name));
        } else {
            QVERIFY(leftover.open(QIODevice::WriteOnly));
            leftover.close();
            QCOMPARE(QProcess::execute("chown", {"-R", "65534:65534", host.dir.path()}), 0);
            args = QStringList {"--reuid=65534", "--regid=65534", "--clear-groups", kHandler} + args;
            program = "setpriv";
        }

        QProcess handler, relaunched;
        handler.setProcessEnvironment(TestFiles::environmentWith("HOME", host.path("home")));
        handler.start(program, args);
        QTRY_VERIFY_WITH_TIMEOUT(pick(host.journal("sleeper"), "event").contains("nameSquatted"), 10000);
        relaunched.start(program, args);
        QVERIFY(relaunched.waitForFinished(10000));
        QCOMPARE(relaunched.exitCode(), 0);

        while (squatter.hasPendingConnections() || squatter.waitForNewConnection(0)) { // the handler's probes
            QLocalSocket *c = squatter.nextPendingConnection();
            QTRY_COMPARE_WITH_TIMEOUT(c->state(), QLocalSocket::UnconnectedState, 10000);
            QCOMPARE(c->readAll(), QByteArray());
        }
        // Once the other user's server is gone, the handler takes the name after all.
        // (The login is taken from the client info file at the start: no earlier handler journaled it.)
        QStringList events {"start", "restored", "nameSquatted", "hostExited", "hostEnd", "crashReport"};
        if (live) {
            squatter.close();
            QTRY_VERIFY_WITH_TIMEOUT(pick(host.journal("sleeper"), "event").contains("nameReclaimed"), 10000);
            events.insert(3, "nameReclaimed");
        }

        host.process.kill();
        QVERIFY(host.process.waitForFinished());
        QVERIFY(handler.waitForFinished(15000));
        QCOMPARE(handler.exitCode(), 0);
        const QJsonObject r = host.report();
        QCOMPARE(QJsonArray({r["nameSquatted"]["holder"], r["nameSquatted"].toObject().contains("reclaimedAt"), r["clientInfo"]["attributes"]["id"],
                             r["session"]["login"]["userId"], r["restored"]["source"]}),
                 (QJsonArray {holder, live, "u7", "u7", "clientInfo"}));
        QCOMPARE(r["nameSquatted"]["reason"].toString().left(reason.size()), reason);
        QCOMPARE(pick(host.journal("sleeper"), "event"), events);
        QCOMPARE(pick(host.journal("sleeper"), "holder", "nameSquatted"), QStringList {holder});
    }
};

QTEST_GUILESS_MAIN(tst_E2E)
#include "tst_e2e.moc"
