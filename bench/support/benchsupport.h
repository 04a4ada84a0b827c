#ifndef OSTREL_BENCH_BENCHSUPPORT_H
#define OSTREL_BENCH_BENCHSUPPORT_H

// Small helpers shared by the benchmark programs: isolation of the host's home and settings
// folders, the clocks and memory figures they report, and waiting on the event loop.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace bench {

inline qint64 threadCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline qint64 monotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Resident set size now, in bytes (from /proc/self/statm).
inline qint64 rssBytes()
{
    long pages = 0;
    long resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return qint64(resident) * sysconf(_SC_PAGESIZE);
}

// Peak resident set size of the process so far, in bytes.
inline qint64 peakRssBytes()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_maxrss) * 1024;
}

// Swallows every Qt message: what a log line costs up to Qt's message handler, without the cost of
// printing it.
inline void quietMessageHandler(QtMsgType, const QMessageLogContext &, const QString &)
{
}

// Points HOME and the system-scope INI folder at temporary folders (before the first library
// call), so nothing reaches the real home or /etc/xdg. Must outlive the benchmark run.
struct IsolatedHost
{
    QTemporaryDir home;
    QTemporaryDir settings;

    IsolatedHost()
    {
        qputenv("HOME", home.path().toUtf8());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());
    }

    // Makes the host's local-dump settings match what StartCrash will ask for, so that StartCrash
    // needs no registration (no KivRegWER launch). `dumpFolder` uses backslashes.
    static void registerLocalDumps(const QString &dumpFolder, int count, int type)
    {
        QSettings s(QSettings::IniFormat, QSettings::UserScope,
                    QStringLiteral("Microsoft/Windows/Windows Error Reporting/LocalDumps"),
                    QCoreApplication::applicationName() + QLatin1String(".exe"));
        s.setValue(QStringLiteral("DumpFolder"), dumpFolder);
        s.setValue(QStringLiteral("DumpCount"), count);
        s.setValue(QStringLiteral("DumpType"), type);
        s.sync();
    }
};

// Runs the event loop until `done` holds or `timeoutMs` passes; true when it holds.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(200);
    }
    return true;
}

} // namespace bench

#endif // OSTREL_BENCH_BENCHSUPPORT_H
