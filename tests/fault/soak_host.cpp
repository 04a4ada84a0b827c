// The soak host (./scripts/soak, not a CTest): a host on the fast reconnection policy that makes a
// mix of calls every few milliseconds for a given time while it SIGKILLs its crash handler (the
// recording stand-in beside it) at a fixed interval. Prints its RSS after start-up and at the end,
// the calls and kills made, the last "try connect handler:" counters, and whether the library was
// quiet once the calls stopped.
//   ostrel_soak_host <seconds> <kill interval seconds> <records folder>
// Exit 1 when a connection attempt came after the budget was spent (a stuck timer), else 0.

#include "standin.h"

#include <OstrelSDK/ostrelsdk.h>

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTimer>

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace {

QElapsedTimer s_clock;
qint64 s_lastAttemptMs = -1; // the last connection attempt
qint64 s_spentMs = -1;       // when the budget was found spent ("6 7")
QString s_lastCounters = QStringLiteral("none");

void countingHandler(QtMsgType, const QMessageLogContext &, const QString &text)
{
    if (text.contains(QLatin1String("try connect handler:")))
        s_lastCounters = text.section(QLatin1Char(' '), -2);
    if (s_spentMs < 0 && s_lastCounters == QLatin1String("6 7"))
        s_spentMs = s_clock.elapsed();
    if (text.contains(QLatin1String("onConnectToServer()")))
        s_lastAttemptMs = s_clock.elapsed();
}

qint64 rssKiB()
{
    return TestFiles::readAll(QStringLiteral("/proc/self/statm")).split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE) / 1024;
}

int killHandlers()
{
    int killed = 0;
    for (qint64 pid : StandIn::handlersFor())
        killed += ::kill(pid_t(pid), SIGKILL) == 0;
    return killed;
}

// One call of a kind picked at random, with text that changes from call to call.
void mixedCall(quint64 n)
{
    const QString k = QString::number(n);
    switch (QRandomGenerator::global()->bounded(11)) {
    case 0: Ostrel_SDK::checkExceptionInfos(k, k); break;
    case 1: Ostrel_SDK::enterLive(k, QString(), true); break;
    case 2: Ostrel_SDK::quitLive(); break;
    case 3: Ostrel_SDK::setUserInfo(k, QString()); break;
    case 4: Ostrel_SDK::setStreamNode(k, k); break;
    case 5: Ostrel_SDK::subProcessPid(QStringLiteral("worker.exe"), k, k, int(n % 3)); break;
    case 6: Ostrel_SDK::setCloudConfig(k, k); break;
    case 7: Ostrel_SDK::appendClientThirdpartyLogPath(k.right(2)); break;
    case 8: Ostrel_SDK::setClientLogPath(k); break;
    case 9: Ostrel_SDK::getOstrelVersion(); break;
    default: Ostrel_SDK::exitClient(); break;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4)
        return 2;
    QTemporaryDir home;
    TestFiles::usePrivateFolders(home.path(), home.path());
    qputenv("OSTREL_STANDIN_DIR", argv[3]);
    QCoreApplication app(argc, argv);
    s_clock.start();
    qInstallMessageHandler(countingHandler);
    const qint64 durationMs = QByteArray(argv[1]).toLongLong() * 1000, killEveryMs = QByteArray(argv[2]).toLongLong() * 1000;
    Ostrel_SDK::StartCrash("soak", "p1", QString(), "/dumps", 10, 2, QString());
    Ostrel_SDK::subProcessInfo({{"worker.exe", "", "", "", "/dumps"}});

    // Every tick: a few mixed calls, a kill when one is due, the end when the time is up.
    quint64 calls = 0;
    int kills = 0;
    qint64 rssStart = -1, nextKill = killEveryMs;
    QTimer caller;
    QObject::connect(&caller, &QTimer::timeout, [&] {
        if (rssStart < 0 && s_clock.elapsed() >= 2000)
            rssStart = rssKiB(); // after start-up and the first connection
        for (int i = 0; i < 4; ++i)
            mixedCall(calls++);
        for (; s_clock.elapsed() >= nextKill; nextKill += killEveryMs)
            kills += killHandlers();
        if (s_clock.elapsed() >= durationMs)
            QCoreApplication::quit();
    });
    caller.start(5);
    app.exec();
    caller.stop();
    std::printf("rss_start_kib %lld\nrss_end_kib %lld\ncalls %llu\nkills %d\nlast_counters %s\n", (long long)rssStart,
                (long long)rssKiB(), (unsigned long long)calls, kills, qPrintable(s_lastCounters));

    // The calls have stopped: let the event loop run on. Once the budget is spent no attempt may
    // come; before that the scheduled retries may.
    const qint64 quietFrom = s_clock.elapsed();
    QTimer::singleShot(3000, &app, SLOT(quit()));
    app.exec();
    std::printf("quiet_after_calls %s\n", s_lastAttemptMs < quietFrom ? "yes" : "no");
    killHandlers();
    // One retry scheduled before the budget ran out may still come (within a retry period).
    return s_spentMs >= 0 && s_lastAttemptMs > s_spentMs + 1000 ? 1 : 0;
}
