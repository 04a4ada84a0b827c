#ifndef OSTREL_STALECLIENTINFO_H
#define OSTREL_STALECLIENTINFO_H

#include <QStringList>

// Removes from `folder` the client info files (KivClientInfo_<client>_<pid>.xml) of host
// processes that no longer run, and returns their paths. A file is removed only when the system
// says for certain that it is stale: no process has its pid and no crash handler's server of that
// pid is left (a handler may still be about to read it), or the process now holding that pid
// started after the file was last written (a reused pid). Anything uncertain is kept: pid 0 (the
// name used before StartCrash), the calling process's own file, unreadable process data, symbolic
// links, and files written up to kStartSlackMs before a live process started.
QStringList removeStaleClientInfoFiles(const QString &folder, qint64 ownPid);

// Process start times are known to about 10 ms, file times to the file system's granularity.
constexpr qint64 kStaleClientInfoStartSlackMs = 2000;

#endif // OSTREL_STALECLIENTINFO_H
