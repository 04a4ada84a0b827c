// A bare Qt host (QtCore only, like any Qt application before it uses the library) run as a child
// of bench_start, once per measurement, since loading and starting happen once per process.
//   bench_start_host start   load libOstrelSDK with dlopen, then call StartCrash
//   bench_start_host floor   the unavoidable part alone: one detached launch of the same program
// Prints: wall_ns cpu_ns rss_before rss_after rss_after_first_attempt load_wall_ns (bytes, ns).
// Local-dump settings are made to match first, so StartCrash needs no registration. Log lines go to
// a handler that drops them (their formatting is counted, not where a host sends them).

#include "benchsupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

namespace {

using StartCrashFn = bool (*)(const QString &, const QString &, const QString &, const QString &, int, int,
                              const QString &);

// Ostrel_SDK::StartCrash(QString const&, QString const&, QString const&, QString const&, int, int,
// QString const&), as the shared library exports it.
constexpr char kStartCrashSymbol[] = "_ZN10Ostrel_SDK10StartCrashERK7QStringS2_S2_S2_iiS2_";

} // namespace

int main(int argc, char **argv)
{
    bench::IsolatedHost host;
    QCoreApplication app(argc, argv);
    const bool floor = argc > 1 && std::strcmp(argv[1], "floor") == 0;
    bench::IsolatedHost::registerLocalDumps(QStringLiteral("D:\\dumps"), 10, 2);
    qInstallMessageHandler(bench::quietMessageHandler);
    qint64 loadWall = 0;

    const qint64 rssBefore = bench::rssBytes();
    const qint64 cpu0 = bench::threadCpuNs();
    const qint64 wall0 = bench::monotonicNs();
    if (floor) {
        QProcess::startDetached(QCoreApplication::applicationDirPath() + QLatin1String("/KivCrashHandler.exe"),
                                {QString::number(QCoreApplication::applicationPid()), QStringLiteral("D:\\dumps"),
                                 QCoreApplication::applicationName(), QStringLiteral("bench"), QStringLiteral("p1"),
                                 QStringLiteral("p2"), QStringLiteral("p3")});
    } else {
        void *library = dlopen(OSTREL_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            std::fprintf(stderr, "dlopen: %s\n", dlerror());
            return 1;
        }
        loadWall = bench::monotonicNs() - wall0;
        auto startCrash = reinterpret_cast<StartCrashFn>(dlsym(library, kStartCrashSymbol));
        if (!startCrash) {
            std::fprintf(stderr, "dlsym: %s\n", dlerror());
            return 1;
        }
        startCrash(QStringLiteral("bench"), QStringLiteral("p1"), QStringLiteral("p2"), QStringLiteral("D:/dumps"),
                   10, 2, QStringLiteral("p3"));
    }
    const qint64 wall = bench::monotonicNs() - wall0;
    const qint64 cpu = bench::threadCpuNs() - cpu0;
    const qint64 rssAfter = bench::rssBytes();

    // Let the first connection attempt (500 ms later) happen: it creates the socket.
    bench::waitUntil([] { return false; }, 700);
    const qint64 rssLater = bench::rssBytes();

    std::printf("%lld %lld %lld %lld %lld %lld\n", (long long)wall, (long long)cpu, (long long)rssBefore,
                (long long)rssAfter, (long long)rssLater, (long long)loadWall);
    return 0;
}
