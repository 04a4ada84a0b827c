#ifndef OSTREL_STALECLIENTINFO_H
#define OSTREL_STALECLIENTINFO_H

#include <QStringList>

// Removes from `folder` the client info files (KivClientInfo_<client>_<pid>.xml) of host
// processes that no longer run, and returns their paths. A file is removed only when the system
// says for certain that it is stale: no process has its pid and no crash handler's server of that
// pid is left (a handler may still be about to read it), or the process now holding that pid
// started after the file was last written (a reused pid). Anything uncertain is kept: pid 0 (the
// name used before StartCrash), the calling process's own file, unreadable process data, symbolic
// links, and files written up to kProcessStartSlackMs before a live process started.
QStringList removeStaleClientInfoFiles(const QString &folder, qint64 ownPid);

#endif // OSTREL_STALECLIENTINFO_H
