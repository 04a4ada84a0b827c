#ifndef KIVCRASHHANDLER_CAPTURE_CAPTURE_H
#define KIVCRASHHANDLER_CAPTURE_CAPTURE_H

#include "capture/dumplocator.h"
#include "host/processend.h"
#include "host/processfacts.h"

#include <QJsonObject>
#include <QString>

// The end-of-process step: given what was learned while the process lived and how it ended, finds
// the OS's dump, reads it (in a child process, bounded), and says in one line what happened; then
// placeDump() keeps the dump under the name the dump folder gives it, or removes it. Knows no dump
// format: finding and reading are behind dumplocator.h and dumpreader.h.
namespace Capture {

// How long to wait for a dump to show up (a pipe collector's, or one on a slow file system).
constexpr int kDumpWaitMs = 3000;
// How long to wait for the kernel to hand out the exit status (it does once the parent reaps).
constexpr int kExitStatusWaitMs = 1000;

struct Options
{
    QString appName;
    QString program;     // this handler, which reads a dump in a child of itself
    QString scratchFolder; // where the handler may copy a dump it has to fetch
    bool isHost = true;  // a host is expected to say "ExitClient"; a sub-process is not
};

struct Result
{
    ProcessEnd::Kind kind = ProcessEnd::Unknown;
    QString summary;     // one line: "<app> crashed: SIGSEGV (SEGV_MAPERR) at 0x0 in thread main: f() file:line"
    QJsonObject report;  // the report's "crash" member
    QJsonObject journal; // the fields of the journal's end line
    Dump dump;           // the process's dump, read and still where the OS put it; no path when none
};

Result run(const ProcessFacts &facts, const ProcessEnd &end, const Options &options);

// The dump is never left where the OS put it: kept as `stem` + its extension when `keep`, else
// removed. Says which in the result's "core" members ("keptAt" or "removed").
void placeDump(Result *result, const QString &stem, bool keep);

// The summary line alone, from a report's "crash" member (pure; also used by tests).
QString summaryLine(const QString &appName, ProcessEnd::Kind kind, const QJsonObject &crash, bool isHost = true);

} // namespace Capture

#endif // KIVCRASHHANDLER_CAPTURE_CAPTURE_H
