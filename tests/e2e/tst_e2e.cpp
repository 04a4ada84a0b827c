// End to end: the demo host and the reference crash handler as shipped, run as child processes
// with a HOME and a work folder of their own. Each test ends only when no crash handler for its
// host is left running.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

const QString kBin = QStringLiteral(OSTREL_BIN_DIR);
const QString kHandler = kBin + "/KivCrashHandler.exe";

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A process's arguments; a single empty one once it has ended, even before it is reaped.
QList<QByteArray> argvOf(const QString &pid)
{
    return readFile("/proc/" + pid + "/cmdline").split('\0');
}

// Running crash handlers launched for this host pid.
QList<qint64> handlersFor(qint64 hostPid)
{
    QList<qint64> pids;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QList<QByteArray> argv = argvOf(entry);
        if (argv.size() > 1 && argv.at(0).endsWith("KivCrashHandler.exe") && argv.at(1) == QByteArray::number(hostPid))
            pids.append(entry.toLongLong());
    }
    return pids;
}

// `key` of each journal line, or of the lines of one event only.
QStringList pick(const QList<QJsonObject> &journal, const QString &key, const QString &event = QString())
{
    QStringList out;
    for (const QJsonObject &e : journal) {
        if (event.isEmpty() || e["event"].toString() == event)
            out.append(e[key].toVariant().toString());
    }
    return out;
}

// A host run in its own folders; prints the host's stderr when the test failed.
struct Host
{
    QTemporaryDir dir;
    QProcess process;
    qint64 pid = 0;

    Host(const QString &program, QStringList args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", path("home"));
        process.setProcessEnvironment(env);
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
    QJsonObject report() const { return QJsonDocument::fromJson(readFile(path("dumps/") + reports().value(0))).object(); }
    QList<QJsonObject> journal(const QString &appName) const
    {
        QList<QJsonObject> lines;
        for (const QByteArray &line : readFile(path("dumps/%1-%2.journal.jsonl").arg(appName).arg(pid)).split('\n'))
            if (!line.isEmpty())
                lines.append(QJsonDocument::fromJson(line).object());
        return lines;
    }
};

} // namespace

class tst_E2E : public QObject
{
    Q_OBJECT

private slots:
    // A bad command line is refused with a one-line usage; a second handler for a host that is
    // already served leaves quietly; a host that ends without a word still gets a report.
    void commandLine()
    {
        QProcess bad;
        bad.start(kHandler, {"12a", "d", "a", "c", "1", "2", "3"});
        QVERIFY(bad.waitForFinished(10000));
        QCOMPARE(bad.exitCode(), 2);
        const QByteArray err = bad.readAllStandardError();
        QVERIFY2(err.startsWith("usage: ") && err.count('\n') == 1, err.constData());

        Host host("sleep", {"60"});
        const QStringList args {QString::number(host.pid), host.path("dumps").replace('/', '\\'), "sleeper", "c", "p1", "", "p3"};
        QVERIFY(QProcess::startDetached(kHandler, args));
        const auto serving = [&] { QLocalSocket probe; probe.connectToServer(QStringLiteral("Kiv_Crash_Handler_%1").arg(host.pid)); return probe.waitForConnected(1000); };
        QTRY_VERIFY_WITH_TIMEOUT(serving(), 10000);

        QProcess second;
        second.start(kHandler, args);
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(handlersFor(host.pid).size(), 1);

        host.process.kill();
        QVERIFY(host.process.waitForFinished());
        QTRY_VERIFY_WITH_TIMEOUT(handlersFor(host.pid).isEmpty(), 15000);
        QCOMPARE(host.reports().size(), 1);
        QCOMPARE(host.report()["handlerParams"].toArray(), (QJsonArray {"p1", "", "p3"}));
    }

    void crashScenario()
    {
        Host host(kBin + "/ostrel-demo", {"--workdir", "<dir>"});
        QVERIFY(host.process.waitForFinished(30000));
        // Killed by SIGSEGV, or (under AddressSanitizer) ended by its report.
        QVERIFY(host.process.exitStatus() == QProcess::CrashExit || host.process.exitCode() != 0);
        QTRY_VERIFY_WITH_TIMEOUT(handlersFor(host.pid).isEmpty(), 15000);

        QCOMPARE(host.reports().size(), 1);
        QVERIFY2(host.reports().at(0).startsWith(QStringLiteral("ostrel-demo-%1-").arg(host.pid)), qPrintable(host.reports().at(0)));
        const QJsonObject r = host.report();
        QCOMPARE(QJsonArray({r["hostPid"], r["appName"], r["clientName"], r["dumpFolder"], r["handlerParams"]}),
                 (QJsonArray {double(host.pid), "ostrel-demo", "demo", host.path("dumps"), QJsonArray {"channel=stable", "build=1234", "upload=off"}}));

        const QJsonObject s = r["session"].toObject();
        QCOMPARE(s["cloudConfig"].toObject(), (QJsonObject {{"config1", "region=eu-west"}, {"config2", "sampling=1.0"}}));
        QCOMPARE(s["login"].toObject(), (QJsonObject {{"userId", "demo-user-42"}, {"liveId", "live-1001"}, {"liveFlag", "1"}}));
        QCOMPARE(s["streamNode"].toObject(), (QJsonObject {{"node", "edge-7"}, {"nodeDetail", "rtmp://edge-7.example/live"}}));
        QCOMPARE(s["exceptionChecks"].toArray(), (QJsonArray {QJsonObject {{"info1", "render-stall"}, {"info2", "frame=1234"}}}));
        QCOMPARE(s["exitClient"].toBool(), false);
        const QJsonObject worker = s["subProcesses"][0].toObject();
        // It ended with its host, not while the host ran.
        QCOMPARE(QJsonArray({worker["role"], worker["status"], worker.contains("sdkBeginTime"), worker["exitedWhileHostRan"]}),
                 (QJsonArray {"worker", 1, true, false}));
        QTRY_COMPARE_WITH_TIMEOUT(argvOf(worker["pid"].toString()).size(), 1, 10000);

        QCOMPARE(r["clientInfo"]["path"].toString(), host.path(QStringLiteral("home/AppData/Local/OstrelSDK/KivClientInfo_demo_%1.xml").arg(host.pid)));
        QCOMPARE(r["clientInfo"]["attributes"]["id"].toString(), QStringLiteral("demo-user-42"));
        QCOMPARE(r["clientInfo"]["attributes"]["node"].toString(), QStringLiteral("edge-7"));
        QVERIFY(r["logs"]["host"]["tail"].toString().contains("about to crash on purpose"));
        QCOMPARE(r["logs"]["thirdparty"].toArray().size(), 1);
        QVERIFY(r["logs"]["thirdparty"][0]["tail"].toString().endsWith("player: last frame before the crash\n"));

        const QList<QJsonObject> journal = host.journal("ostrel-demo");
        QCOMPARE(pick(journal, "text", "message").replaceInStrings(QRegularExpression("^subProcessInfo@\\{.*"), "subProcessInfo@{...}"),
                 (QStringList {"cloudConfig@region=eu-west@sampling=1.0", "ClientLogin@demo-user-42@@0", "ClientLogin@demo-user-42@live-1001@1",
                               "StreamNode@edge-7@rtmp://edge-7.example/live", "ExceptionCheck@render-stall@frame=1234", "subProcessInfo@{...}"}));
        QCOMPARE(pick(journal, "event").first(), QStringLiteral("start"));
        QCOMPARE(pick(journal, "event").last(), QStringLiteral("crashReport"));
    }

    void cleanScenario()
    {
        Host host(kBin + "/ostrel-demo", {"--clean", "--workdir", "<dir>"});
        QVERIFY(host.process.waitForFinished(30000));
        QCOMPARE(host.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(host.process.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(handlersFor(host.pid).isEmpty(), 15000);

        QVERIFY(host.reports().isEmpty());
        const QList<QJsonObject> journal = host.journal("ostrel-demo");
        QVERIFY(pick(journal, "text", "message").contains("ExitClient"));
        QCOMPARE(pick(journal, "event").last(), QStringLiteral("cleanExit"));
        // The demo stops its worker before it exits: the handler saw that while the host still ran.
        QVERIFY(pick(journal, "event").contains("subProcessExited"));
    }

    // The handler dies mid-session: the library's retries fail against the stale socket, it
    // relaunches the handler, and the new one is told the cloud configuration again.
    void relaunchAfterKill()
    {
        Host host(OSTREL_RELAUNCH_HOST, {"<dir>"});
        QTRY_VERIFY_WITH_TIMEOUT(host.process.canReadLine(), 30000);
        QCOMPARE(host.process.readLine(), QByteArray("handler-up\n"));
        const QList<qint64> first = handlersFor(host.pid);
        QCOMPARE(first.size(), 1);
        QCOMPARE(::kill(pid_t(first.at(0)), SIGKILL), 0);

        QVERIFY(host.process.waitForFinished(60000));
        QCOMPARE(host.process.exitCode(), 0);
        QCOMPARE(host.process.readLine(), QByteArray("handler-back\n"));
        QTRY_VERIFY_WITH_TIMEOUT(handlersFor(host.pid).isEmpty(), 15000);

        const QList<QJsonObject> journal = host.journal("e2e-relaunch-host");
        const QStringList starts = pick(journal, "handlerPid", "start");
        QCOMPARE(starts.size(), 2);
        QCOMPARE(starts.at(0).toLongLong(), first.at(0));
        QCOMPARE(pick(journal, "handlerPid", "message"), (QStringList {starts.at(0), starts.at(1), starts.at(1)}));
        QCOMPARE(pick(journal, "text", "message"), (QStringList {"cloudConfig@cfg-one@cfg-two", "cloudConfig@cfg-one@cfg-two", "ExitClient"}));
        QCOMPARE(pick(journal, "event").last(), QStringLiteral("cleanExit"));

        // The relaunch came from the retry policy: six retries used up, then a restart.
        QVERIFY(QString::fromUtf8(host.process.readAllStandardError()).contains(QRegularExpression("try connect handler:\\s+6 0")));
        QVERIFY(host.reports().isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_E2E)
#include "tst_e2e.moc"
