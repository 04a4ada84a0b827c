#ifndef KIVCRASHHANDLER_CAPTURE_DUMPLOCATOR_H
#define KIVCRASHHANDLER_CAPTURE_DUMPLOCATOR_H

#include "host/processend.h"
#include "host/processfacts.h"

#include <QJsonObject>
#include <QString>

// A dump the OS wrote of a process: the file, its format and the extension it keeps beside its
// report. One format per platform, read by that platform's DumpReader: the kernel's ELF core on
// Linux ("core", ".core"), Windows Error Reporting's minidump on Windows ("minidump", ".dmp").
struct Dump
{
    QString path;             // empty when none was found
    bool handlerCopy = false; // a copy the handler made (to delete once read), not the OS's file
    QString format;
    QString extension;
};

// Finds the dump the OS wrote for a process that has ended. On Linux: the kernel's core, where
// /proc/sys/kernel/core_pattern says it goes, or from systemd-coredump through coredumpctl. On
// Windows: "<exe>.<pid>.dmp" in the DumpFolder of the executable's WER LocalDumps registration (no
// search at all when none is registered). Waits at most `waitMs` for it to appear and be complete.
struct DumpSearch
{
    Dump dump;
    QString collector;     // a pipe collector's name, when cores go to one
    QString reason;        // why there is no dump; empty when one was found
    QJsonObject details;   // for the report: the pattern, where the search looked
};

DumpSearch findDump(const ProcessFacts &facts, const ProcessEnd &end, const QString &scratchFolder, int waitMs);

#endif // KIVCRASHHANDLER_CAPTURE_DUMPLOCATOR_H
