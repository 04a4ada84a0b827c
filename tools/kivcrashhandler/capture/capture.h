#ifndef KIVCRASHHANDLER_CAPTURE_CAPTURE_H
#define KIVCRASHHANDLER_CAPTURE_CAPTURE_H

#include "capture/processend.h"
#include "capture/processfacts.h"

#include <QJsonObject>
#include <QString>

// The end-of-process step: given what was learned while the process lived and how it ended, finds
// the OS's dump, reads it (in a child process, bounded), keeps it next to the report or removes it,
// and says in one line what happened. Knows no dump format: finding and reading are behind
// corelocator.h and coreanalysis.h.
namespace Capture {

// How long to wait for a core to show up (a pipe collector's, or one on a slow file system).
constexpr int kCoreWaitMs = 3000;
// How long to wait for the kernel to hand out the exit status (it does once the parent reaps).
constexpr int kExitStatusWaitMs = 1000;

struct Options
{
    QString appName;
    QString program;     // this handler, which reads a dump in a child of itself
    QString dumpFolder;  // where a kept dump goes
    QString keptDumpPath; // file name to keep the dump under (".core" beside the report)
    bool keepDump = true;
    bool isHost = true;  // a host is expected to say "ExitClient"; a sub-process is not
};

struct Result
{
    ProcessEnd::Kind kind = ProcessEnd::Unknown;
    QString summary;     // one line: "<app> crashed: SIGSEGV (SEGV_MAPERR) at 0x0 in thread main: f() file:line"
    QJsonObject report;  // the report's "crash" member
    QJsonObject journal; // the fields of the journal's end line
};

Result run(const ProcessFacts &facts, const ProcessEnd &end, const Options &options);

// The summary line alone, from a report's "crash" member (pure; also used by tests).
QString summaryLine(const QString &appName, ProcessEnd::Kind kind, const QJsonObject &crash, bool isHost = true);

} // namespace Capture

#endif // KIVCRASHHANDLER_CAPTURE_CAPTURE_H
