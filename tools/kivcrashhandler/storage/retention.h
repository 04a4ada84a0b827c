#ifndef KIVCRASHHANDLER_RETENTION_H
#define KIVCRASHHANDLER_RETENTION_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// How many crash reports of one application its dump folder keeps. The count (and the type, which
// decides whether a core is kept) is the application's local-dump setting, read through the
// library's own reader for "<appName>.exe", as the library compares it at every start; it is not on
// the handler's command line. DumpCount 0 or below, or none set, keeps everything.
//
// The names are DumpFolder's: the files whose name is a report's name without ".json" followed by
// "." (a kept dump, for instance) belong to it and go with it, and so do its host's journals with
// the last report of that pid, once no process has that pid. Reports of other applications, other
// journals and anything else in the folder are never touched.
namespace Retention {

constexpr int kOtherEndsKept = 3;

struct Policy
{
    int dumpCount = -1;
    int dumpType = -1;
};

Policy readPolicy(const QString &appName);

// The application's reports in `folder`, oldest first (by the time in their name, then by file time).
QStringList reportsOf(const QString &folder, const QString &appStem);

// Removes the oldest crash reports beyond `dumpCount` and the oldest other reports beyond their
// budget (and what belongs to them); returns the removed file names.
QStringList enforce(const QString &folder, const QString &appStem, int dumpCount);

} // namespace Retention

#endif // KIVCRASHHANDLER_RETENTION_H
