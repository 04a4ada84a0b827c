#ifndef OSTREL_PROCESSSTART_H
#define OSTREL_PROCESSSTART_H

#include <QString>

// Whether a process runs, and since when: a pid alone names a process only together with its
// start time, since pids are reused. One file per platform.
struct ProcessStart
{
    enum State {
        Running,    // startMsecs holds its start time (ms since 1970, UTC; about 10 ms precision)
        NotRunning, // no process with this pid (a zombie counts as ended; startMsecs still holds
                    // its start time where the system keeps it)
        Unknown,    // the system did not say: callers keep whatever depends on it
    };
    State state = Unknown;
    qint64 startMsecs = -1;
};

ProcessStart processStart(qint64 pid);

// How much older than a process's start time a file it wrote may look: process start times are
// known to about 10 ms, file times to the file system's granularity.
constexpr qint64 kProcessStartSlackMs = 2000;

// How long ago the calling process was created, in ms, by the system's own record of its creation
// (clock ticks since boot on Linux, about 10 ms precision; the creation time on Windows); -1 when
// the system does not say. Unlike processStart() it is not shifted by a wall-clock boot time.
qint64 ownProcessAgeMsecs();

// True when a local server of this name may exist (its socket file or pipe is there), live or
// stale: a crash handler may still be at work for a host that has ended.
bool localServerPresent(const QString &name);

#endif // OSTREL_PROCESSSTART_H
