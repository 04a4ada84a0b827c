// End to end: the demo host and the reference crash handler as shipped, run as child processes
// with a HOME and a work folder of their own. Each test ends only when no crash handler for its
// host is left running.

#include <QDir>
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

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString readFile(const QString &path)
{
    return QString::fromUtf8(readBytes(path));
}

bool serving(const QString &name)
{
    QLocalSocket probe;
    probe.connectToServer(name);
    return probe.waitForConnected(1000);
}

// A process that has ended but was not reaped yet counts as gone.
bool running(qint64 pid)
{
    const QString stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(QLatin1Char(')'));
    return close > 0 && stat.mid(close + 2, 1) != QLatin1String("Z");
}

// Pids of running crash handlers launched for this host pid (from their command lines).
QList<qint64> handlersFor(qint64 hostPid)
{
    QList<qint64> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QList<QByteArray> argv = readBytes(QStringLiteral("/proc/%1/cmdline").arg(pid)).split('\0');
        if (argv.size() > 1 && argv.at(0).endsWith("KivCrashHandler.exe")
                && argv.at(1) == QByteArray::number(hostPid) && running(pid))
            pids.append(pid);
    }
    return pids;
}

QList<QJsonObject> readJournal(const QString &path)
{
    QList<QJsonObject> lines;
    for (const QString &line : readFile(path).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        lines.append(QJsonDocument::fromJson(line.toUtf8()).object());
    return lines;
}

QStringList events(const QList<QJsonObject> &journal)
{
    QStringList out;
    for (const QJsonObject &e : journal)
        out.append(e.value(QStringLiteral("event")).toString());
    return out;
}

// Message texts in the order the handler received them.
QStringList messages(const QList<QJsonObject> &journal)
{
    QStringList out;
    for (const QJsonObject &e : journal) {
        if (e.value(QStringLiteral("event")).toString() == QLatin1String("message"))
            out.append(e.value(QStringLiteral("text")).toString());
    }
    return out;
}

} // namespace

class tst_E2E : public QObject
{
    Q_OBJECT

private:
    // A host run in its own folders; prints the host's output when the test failed.
    struct HostRun
    {
        QTemporaryDir dir;
        QProcess process;
        qint64 pid = 0;

        HostRun()
        {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("HOME"), dir.path() + QStringLiteral("/home"));
            process.setProcessEnvironment(env);
        }
        ~HostRun()
        {
            if (QTest::currentTestFailed()) {
                qWarning("host stdout:\n%s", process.readAllStandardOutput().constData());
                qWarning("host stderr:\n%s", process.readAllStandardError().constData());
            }
            if (process.state() != QProcess::NotRunning) {
                process.kill();
                process.waitForFinished();
            }
        }
        void start(const QString &program, const QStringList &args)
        {
            process.start(program, args);
            QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));
            pid = process.processId();
        }
        QString path(const QString &relative) const { return dir.path() + QLatin1Char('/') + relative; }
        QString journalPath(const QString &appName) const
        {
            return path(QStringLiteral("dumps/%1-%2.journal.jsonl").arg(appName).arg(pid));
        }
        QStringList reports() const
        {
            return QDir(path(QStringLiteral("dumps"))).entryList({QStringLiteral("*.json")}, QDir::Files);
        }
    };

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo::exists(kBin + QStringLiteral("/KivCrashHandler.exe")));
        QVERIFY(QFileInfo::exists(kBin + QStringLiteral("/ostrel-demo")));
    }

    // Bad command lines are refused with a one-line usage; a second handler for a host that is
    // already served leaves quietly; a host that ends without a word still gets a report.
    void commandLine()
    {
        const QString handler = kBin + QStringLiteral("/KivCrashHandler.exe");
        const QList<QStringList> bad {
            {},
            {QStringLiteral("123")},
            {QStringLiteral("12a"), QStringLiteral("d"), QStringLiteral("a"), QStringLiteral("c"),
             QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")},
        };
        for (const QStringList &args : bad) {
            QProcess p;
            p.start(handler, args);
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(p.exitCode(), 2);
            const QByteArray err = p.readAllStandardError();
            QVERIFY2(err.startsWith("usage: ") && err.count('\n') == 1, err.constData());
        }

        HostRun host; // a stand-in host that only sleeps
        host.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        const QStringList args {QString::number(host.pid), host.path(QStringLiteral("dumps")).replace(QLatin1Char('/'), QLatin1Char('\\')),
                                QStringLiteral("sleeper"), QStringLiteral("c"), QStringLiteral("p1"), QString(), QStringLiteral("p3")};
        QVERIFY(QProcess::startDetached(handler, args));
        QTRY_VERIFY_WITH_TIMEOUT(serving(QStringLiteral("Kiv_Crash_Handler_%1").arg(host.pid)), 10000);

        QProcess second;
        second.start(handler, args);
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(handlersFor(host.pid).size(), 1);

        host.process.kill();
        QVERIFY(host.process.waitForFinished());
        QTRY_VERIFY_WITH_TIMEOUT(handlersFor(host.pid).isEmpty(), 15000);
        QCOMPARE(host.reports().size(), 1);
        const QJsonObject report = QJsonDocument::fromJson(readFile(host.path(QStringLiteral("dumps/") + host.reports().at(0))).toUtf8()).object();
        QCOMPARE(report.value(QStringLiteral("handlerParams")).toArray(), (QJsonArray {QStringLiteral("p1"), QString(), QStringLiteral("p3")}));
        QCOMPARE(report.value(QStringLiteral("clientInfo")).toObject().value(QStringLiteral("found")).toBool(), false);
    }

    void crashScenario()
    {
        HostRun host;
        host.start(kBin + QStringLiteral("/ostrel-demo"), {QStringLiteral("--workdir"), host.dir.path()});
        QVERIFY(host.process.waitForFinished(30000));
        // Killed by SIGSEGV, or (under AddressSanitizer) ended by its report.
        QVERIFY(host.process.exitStatus() == QProcess::CrashExit || host.process.exitCode() != 0);
        QTRY_VERIFY_WITH_TIMEOUT(handlersFor(host.pid).isEmpty(), 15000);

        const QStringList reports = host.reports();
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports.at(0).startsWith(QStringLiteral("ostrel-demo-%1-").arg(host.pid)), qPrintable(reports.at(0)));
        const QJsonObject r = QJsonDocument::fromJson(readFile(host.path(QStringLiteral("dumps/") + reports.at(0))).toUtf8()).object();

        QCOMPARE(r.value(QStringLiteral("hostPid")).toInt(), int(host.pid));
        QCOMPARE(r.value(QStringLiteral("appName")).toString(), QStringLiteral("ostrel-demo"));
        QCOMPARE(r.value(QStringLiteral("clientName")).toString(), QStringLiteral("demo"));
        QCOMPARE(r.value(QStringLiteral("dumpFolder")).toString(), host.path(QStringLiteral("dumps")));
        QCOMPARE(r.value(QStringLiteral("handlerParams")).toArray(),
                 (QJsonArray {QStringLiteral("channel=stable"), QStringLiteral("build=1234"), QStringLiteral("upload=off")}));

        const QJsonObject s = r.value(QStringLiteral("session")).toObject();
        QCOMPARE(s[QStringLiteral("cloudConfig")][QStringLiteral("config1")].toString(), QStringLiteral("region=eu-west"));
        QCOMPARE(s[QStringLiteral("login")].toObject(), (QJsonObject {{QStringLiteral("userId"), QStringLiteral("demo-user-42")},
                                                                     {QStringLiteral("liveId"), QStringLiteral("live-1001")},
                                                                     {QStringLiteral("liveFlag"), QStringLiteral("1")}}));
        QCOMPARE(s[QStringLiteral("streamNode")][QStringLiteral("nodeDetail")].toString(), QStringLiteral("rtmp://edge-7.example/live"));
        QCOMPARE(s[QStringLiteral("exceptionChecks")][0][QStringLiteral("info1")].toString(), QStringLiteral("render-stall"));
        QCOMPARE(s[QStringLiteral("exitClient")].toBool(), false);
        const QJsonObject worker = s[QStringLiteral("subProcesses")][0].toObject();
        QCOMPARE(worker[QStringLiteral("role")].toString(), QStringLiteral("worker"));
        QCOMPARE(worker[QStringLiteral("status")].toInt(), 1);
        QVERIFY(worker.contains(QStringLiteral("sdkBeginTime")));
        QCOMPARE(worker[QStringLiteral("exitedWhileHostRan")].toBool(), false); // it ended with its host
        QTRY_VERIFY_WITH_TIMEOUT(!running(worker[QStringLiteral("pid")].toString().toLongLong()), 10000);

        const QJsonObject info = r.value(QStringLiteral("clientInfo")).toObject();
        QCOMPARE(info[QStringLiteral("path")].toString(),
                 host.path(QStringLiteral("home/AppData/Local/OstrelSDK/KivClientInfo_demo_%1.xml").arg(host.pid)));
        QCOMPARE(info[QStringLiteral("attributes")][QStringLiteral("id")].toString(), QStringLiteral("demo-user-42"));
        QCOMPARE(info[QStringLiteral("attributes")][QStringLiteral("node")].toString(), QStringLiteral("edge-7"));

        const QJsonObject logs = r.value(QStringLiteral("logs")).toObject();
        QCOMPARE(logs[QStringLiteral("host")][QStringLiteral("path")].toString(), host.path(QStringLiteral("logs/ostrel-demo.log")));
        QVERIFY(logs[QStringLiteral("host")][QStringLiteral("tail")].toString().contains(QLatin1String("about to crash on purpose")));
        QCOMPARE(logs[QStringLiteral("thirdparty")].toArray().size(), 1);
        QVERIFY(logs[QStringLiteral("thirdparty")][0][QStringLiteral("tail")].toString().endsWith(QLatin1String("player: last frame before the crash\n")));

        const QList<QJsonObject> journal = readJournal(host.journalPath(QStringLiteral("ostrel-demo")));
        QCOMPARE(messages(journal), (QStringList {
            QStringLiteral("cloudConfig@region=eu-west@sampling=1.0"),
            QStringLiteral("ClientLogin@demo-user-42@@0"),
            QStringLiteral("ClientLogin@demo-user-42@live-1001@1"),
            QStringLiteral("StreamNode@edge-7@rtmp://edge-7.example/live"),
            QStringLiteral("ExceptionCheck@render-stall@frame=1234"),
            messages(journal).value(5),
        }));
        QVERIFY(messages(journal).value(5).startsWith(QLatin1String("subProcessInfo@{")));
        QCOMPARE(events(journal).first(), QStringLiteral("start"));
        QCOMPARE(events(journal).last(), QStringLiteral("crashReport"));
        QVERIFY(!events(journal).contains(QStringLiteral("cleanExit")));
    }

    void cleanScenario()
    {
        HostRun host;
        host.start(kBin + QStringLiteral("/ostrel-demo"), {QStringLiteral("--clean"), QStringLiteral("--workdir"), host.dir.path()});
        QVERIFY(host.process.waitForFinished(30000));
        QCOMPARE(host.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(host.process.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(handlersFor(host.pid).isEmpty(), 15000);

        QVERIFY(host.reports().isEmpty());
        const QList<QJsonObject> journal = readJournal(host.journalPath(QStringLiteral("ostrel-demo")));
        QVERIFY(messages(journal).contains(QStringLiteral("ExitClient")));
        QCOMPARE(events(journal).last(), QStringLiteral("cleanExit"));
        // The demo stops its worker before it exits: the handler saw that while the host still ran.
        QVERIFY(events(journal).contains(QStringLiteral("subProcessExited")));
    }

    // The handler dies mid-session: the library's retries fail against the stale socket, it
    // relaunches the handler, and the new one is told the cloud configuration again.
    void relaunchAfterKill()
    {
        HostRun host;
        host.start(QStringLiteral(OSTREL_RELAUNCH_HOST), {host.dir.path()});
        QTRY_VERIFY_WITH_TIMEOUT(host.process.canReadLine(), 30000);
        QCOMPARE(host.process.readLine().trimmed(), QByteArray("handler-up"));

        const QList<qint64> first = handlersFor(host.pid);
        QCOMPARE(first.size(), 1);
        QCOMPARE(::kill(pid_t(first.at(0)), SIGKILL), 0);

        QVERIFY(host.process.waitForFinished(60000));
        QCOMPARE(host.process.exitCode(), 0);
        QCOMPARE(host.process.readLine().trimmed(), QByteArray("handler-back"));
        QTRY_VERIFY_WITH_TIMEOUT(handlersFor(host.pid).isEmpty(), 15000);

        // Each handler's pid with what it received.
        const QList<QJsonObject> journal = readJournal(host.journalPath(QStringLiteral("e2e-relaunch-host")));
        QList<int> starts;
        QMap<int, QStringList> received;
        for (const QJsonObject &e : journal) {
            const int handler = e.value(QStringLiteral("handlerPid")).toInt();
            if (e.value(QStringLiteral("event")).toString() == QLatin1String("start"))
                starts.append(handler);
            if (e.value(QStringLiteral("event")).toString() == QLatin1String("message"))
                received[handler].append(e.value(QStringLiteral("text")).toString());
        }
        QCOMPARE(starts.size(), 2);
        QCOMPARE(starts.at(0), int(first.at(0)));
        QCOMPARE(received.value(starts.at(0)), QStringList {QStringLiteral("cloudConfig@cfg-one@cfg-two")});
        QCOMPARE(received.value(starts.at(1)), (QStringList {QStringLiteral("cloudConfig@cfg-one@cfg-two"), QStringLiteral("ExitClient")}));
        QCOMPARE(events(journal).last(), QStringLiteral("cleanExit"));

        // The relaunch came from the retry policy: six retries used up, then a restart.
        const QString log = QString::fromUtf8(host.process.readAllStandardError());
        QVERIFY(log.contains(QRegularExpression(QStringLiteral("try connect handler:\\s+6 0"))));
        QVERIFY(host.reports().isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_E2E)
#include "tst_e2e.moc"
