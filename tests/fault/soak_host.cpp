// The soak host (./scripts/soak, not a CTest): a host on the fast reconnection policy that makes a
// mix of calls every few milliseconds for a given time while it SIGKILLs its crash handler (the
// recording stand-in beside it) at a fixed interval. Prints its RSS after start-up and at the end,
// the calls made, the kills, the handler launches, the last "try connect handler:" counters, and
// whether the library was quiet once the calls stopped (no attempt left ticking after the budget).
//   ostrel_soak_host <seconds> <kill interval seconds> <records folder>
// Exit 0 when it ran to its end and nothing kept ticking; 1 otherwise.

#include <OstrelSDK/ostrelsdk.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace {

qint64 s_logLines = 0;
qint64 s_lastAttemptMs = 0; // when the last connection attempt or retry decision was logged
QString s_lastCounters;
QElapsedTimer s_clock;

void countingHandler(QtMsgType, const QMessageLogContext &, const QString &text)
{
    ++s_logLines;
    static const QRegularExpression counters(QStringLiteral("try connect handler:\\s+(\\d+) (\\d+)"));
    const QRegularExpressionMatch m = counters.match(text);
    if (m.hasMatch()) {
        s_lastCounters = m.captured(1) + QLatin1Char(' ') + m.captured(2);
        s_lastAttemptMs = s_clock.elapsed();
    } else if (text.contains(QLatin1String("onConnectToServer()")) || text.contains(QLatin1String("KivCrashHandler Path:"))) {
        s_lastAttemptMs = s_clock.elapsed();
    }
}

qint64 rssKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().simplified().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * sysconf(_SC_PAGESIZE) / 1024 : -1;
}

int killHandlers()
{
    int killed = 0;
    const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> args = cmdline.readAll().split('\0');
        if (args.size() > 1 && args.at(0).endsWith("KivCrashHandler.exe") && args.at(1) == self
            && ::kill(pid_t(pid), SIGKILL) == 0)
            ++killed;
    }
    return killed;
}

void mixedCall(quint32 pick, quint64 n)
{
    const QString k = QString::number(n);
    switch (pick % 12) {
    case 0: Ostrel_SDK::checkExceptionInfos(QStringLiteral("0xC0000005"), k); break;
    case 1: Ostrel_SDK::setStreamNode(QStringLiteral("node-%1").arg(n % 7), k); break;
    case 2: Ostrel_SDK::enterLive(QStringLiteral("live-%1").arg(n % 5), QString(), n % 2); break;
    case 3: Ostrel_SDK::quitLive(); break;
    case 4: Ostrel_SDK::setUserInfo(QStringLiteral("user-%1").arg(n % 3), QString()); break;
    case 5: Ostrel_SDK::subProcessPid(QStringLiteral("worker.exe"), k, QStringLiteral("/logs/w.log"), int(n % 3)); break;
    case 6: Ostrel_SDK::setCloudConfig(QStringLiteral("cfg"), k); break;
    case 7: Ostrel_SDK::appendClientThirdpartyLogPath(QStringLiteral("/logs/part-%1.log").arg(n % 20)); break;
    case 8: Ostrel_SDK::setClientLogPath(QStringLiteral("/logs/host-%1.log").arg(n % 4)); break;
    case 9: Ostrel_SDK::exitClient(); break;
    case 10: Ostrel_SDK::getOstrelVersion(); break;
    default: Ostrel_SDK::checkExceptionInfos(k, QString()); break;
    }
}

// Every tick: a few mixed calls, a kill when one is due, the end when the time is up.
class Soak : public QObject
{
    Q_OBJECT

public:
    Soak(qint64 durationMs, qint64 killEveryMs)
        : m_durationMs(durationMs), m_killEveryMs(killEveryMs), m_nextKill(killEveryMs)
    {
    }

    quint64 calls = 0;
    int kills = 0;
    qint64 rssStart = -1;

public slots:
    void onTick()
    {
        const qint64 now = s_clock.elapsed();
        if (rssStart < 0 && now >= 2000)
            rssStart = rssKiB(); // after start-up and the first connection
        for (int i = 0; i < 4; ++i)
            mixedCall(QRandomGenerator::global()->generate(), calls++);
        if (now >= m_nextKill) {
            kills += killHandlers();
            m_nextKill += m_killEveryMs;
        }
        if (now >= m_durationMs)
            QCoreApplication::quit();
    }

private:
    qint64 m_durationMs;
    qint64 m_killEveryMs;
    qint64 m_nextKill;
};

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4)
        return 2;
    QTemporaryDir home;
    QTemporaryDir settings;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("OSTREL_STANDIN_DIR", argv[3]);
    qunsetenv("OSTREL_STANDIN_MODE");
    QCoreApplication app(argc, argv);
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, settings.path());
    s_clock.start();
    qInstallMessageHandler(countingHandler);

    const qint64 durationMs = QByteArray(argv[1]).toLongLong() * 1000;
    const qint64 killEveryMs = QByteArray(argv[2]).toLongLong() * 1000;

    SubProcess_Info worker;
    worker.appName = QStringLiteral("worker.exe");
    worker.dmpPath = QStringLiteral("/dumps");
    Ostrel_SDK::StartCrash(QStringLiteral("soak"), QStringLiteral("p1"), QString(), QStringLiteral("/dumps"), 10, 2, QString());
    Ostrel_SDK::subProcessInfo({worker});

    Soak soak(durationMs, killEveryMs);
    QTimer caller;
    QObject::connect(&caller, SIGNAL(timeout()), &soak, SLOT(onTick()));
    caller.start(5);
    app.exec();
    caller.stop();
    const quint64 calls = soak.calls;
    const int kills = soak.kills;
    const qint64 rssStart = soak.rssStart;
    const qint64 rssEnd = rssKiB();
    const QString countersAtEnd = s_lastCounters;

    // The calls have stopped: let the event loop run on and see whether attempts keep coming. Once
    // the budget is spent (6 7) nothing may tick; before that the scheduled retries may.
    const qint64 quietFrom = s_clock.elapsed();
    QTimer::singleShot(3000, &app, SLOT(quit()));
    app.exec();
    const bool budgetSpent = s_lastCounters == QLatin1String("6 7");
    const bool quiet = s_lastAttemptMs < quietFrom;
    const int launches = QDir(QString::fromLocal8Bit(argv[3])).entryList({QStringLiteral("launch-*.args")}).size();

    std::printf("rss_start_kib %lld\nrss_end_kib %lld\ncalls %llu\nkills %d\nhandler_launches %d\n"
                "last_counters %s\nlog_lines %lld\nbudget_spent %s\nquiet_after_calls %s\n",
                (long long)rssStart, (long long)rssEnd, (unsigned long long)calls, kills, launches,
                qPrintable(countersAtEnd.isEmpty() ? QStringLiteral("none") : countersAtEnd), (long long)s_logLines,
                budgetSpent ? "yes" : "no", quiet ? "yes" : "no");
    killHandlers();
    // A stuck timer is one that still fires after the budget is spent.
    return (budgetSpent && !quiet) ? 1 : 0;
}

#include "soak_host.moc"
