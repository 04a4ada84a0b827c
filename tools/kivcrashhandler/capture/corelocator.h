#ifndef KIVCRASHHANDLER_CAPTURE_CORELOCATOR_H
#define KIVCRASHHANDLER_CAPTURE_CORELOCATOR_H

#include "capture/processend.h"
#include "capture/processfacts.h"

#include <QJsonObject>
#include <QString>

// Finds the dump the OS wrote for a process that has ended. On Linux: the kernel's core, where
// /proc/sys/kernel/core_pattern says it goes, or from systemd-coredump through coredumpctl. On
// Windows: "<exe>.<pid>.dmp" in the DumpFolder of the executable's WER LocalDumps registration (no
// search at all when none is registered). Waits at most `waitMs` for it to appear and be complete.
struct CoreSearch
{
    QString path;          // the dump found; empty when none
    bool handlerCopy = false; // a copy the handler made (to delete once read), not the OS's file
    QString collector;     // a pipe collector's name, when cores go to one
    QString reason;        // why there is no dump; empty when one was found
    QJsonObject details;   // for the report: the pattern, where the search looked
};

CoreSearch findCore(const ProcessFacts &facts, const ProcessEnd &end, const QString &scratchFolder, int waitMs);

#endif // KIVCRASHHANDLER_CAPTURE_CORELOCATOR_H
