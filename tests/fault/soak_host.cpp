// The soak host (./scripts/soak, not a CTest): a host on the fast reconnection policy that makes
// every kind of call every few milliseconds for a given time while it SIGKILLs its crash handler
// (the recording stand-in beside it) at a fixed interval, then lets its event loop run on for 3 s.
// Prints its RSS after start-up and at the end.
//   ostrel_soak_host <seconds> <kill interval seconds> <records folder>
// Exit 1 when a connection attempt came well after the reconnection budget was spent (a stuck
// timer), else 0.

#include "standin.h"

#include <OstrelSDK/ostrelsdk.h>

#include <QElapsedTimer>
#include <QTimer>

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace {

QElapsedTimer s_clock;
qint64 s_lastAttemptMs = -1; // the last connection attempt
qint64 s_spentMs = -1;       // when the budget was found spent (the last retry of the last launch)

void countingHandler(QtMsgType, const QMessageLogContext &, const QString &text)
{
    if (s_spentMs < 0 && text.endsWith(QLatin1String("try connect handler:  6 7")))
        s_spentMs = s_clock.elapsed();
    if (text.contains(QLatin1String("onConnectToServer()")))
        s_lastAttemptMs = s_clock.elapsed();
}

qint64 rssKiB()
{
    return TestFiles::readAll(QStringLiteral("/proc/self/statm")).split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE) / 1024;
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

    quint64 calls = 0;
    qint64 rssStart = -1, nextKill = killEveryMs;
    QTimer caller;
    QObject::connect(&caller, &QTimer::timeout, [&] {
        if (rssStart < 0 && s_clock.elapsed() >= 2000)
            rssStart = rssKiB(); // after start-up and the first connection
        const QString k = QString::number(++calls);
        Ostrel_SDK::checkExceptionInfos(k, k);
        Ostrel_SDK::enterLive(k, QString(), calls % 2);
        Ostrel_SDK::setStreamNode(k, k);
        Ostrel_SDK::subProcessPid(QStringLiteral("worker.exe"), k, k, int(calls % 3));
        Ostrel_SDK::setUserInfo(k, QString());
        Ostrel_SDK::setCloudConfig(k, k);
        Ostrel_SDK::appendClientThirdpartyLogPath(k.right(2));
        Ostrel_SDK::setClientLogPath(k);
        Ostrel_SDK::quitLive();
        Ostrel_SDK::exitClient();
        for (; s_clock.elapsed() >= nextKill; nextKill += killEveryMs)
            for (qint64 pid : StandIn::handlersFor())
                ::kill(pid_t(pid), SIGKILL);
        if (s_clock.elapsed() >= durationMs)
            QCoreApplication::quit();
    });
    caller.start(5);
    app.exec();
    caller.stop();
    std::printf("rss_start_kib %lld\nrss_end_kib %lld\ncalls %llu\n", (long long)rssStart, (long long)rssKiB(), (unsigned long long)calls);

    QTimer::singleShot(3000, &app, SLOT(quit()));
    app.exec();
    for (qint64 pid : StandIn::handlersFor())
        ::kill(pid_t(pid), SIGKILL);
    // One retry scheduled before the budget ran out may still come (within a retry period).
    return s_spentMs >= 0 && s_lastAttemptMs > s_spentMs + 1000 ? 1 : 0;
}
