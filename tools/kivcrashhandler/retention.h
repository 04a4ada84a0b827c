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
// A report is "<app>-<pid>-<yyyyMMddTHHmmssZ>[-<n>].json"; the files whose name is the report's name
// without ".json" followed by "." (a kept core, for instance) belong to it and go with it, and so
// does its host's journal ("<app>-<pid>.journal.jsonl" and journals moved aside for that pid) with
// the last report of that pid, once no process has that pid. Reports of other applications, other
// journals and anything else in the folder are never touched.
namespace Retention {

struct Policy
{
    int dumpCount = -1;
    int dumpType = -1;
};

Policy readPolicy(const QString &appName);

// The application's reports in `folder`, oldest first (by the time in their name, then by file time).
QStringList reportsOf(const QString &folder, const QString &appStem);

// Removes the oldest reports (and what belongs to them) beyond `dumpCount`; returns the removed
// file names.
QStringList enforce(const QString &folder, const QString &appStem, int dumpCount);

struct Outcome
{
    QString path;        // the report written
    QStringList removed; // file names removed by retention
    QString error;       // set when the report could not be written (nothing is removed then)
};

// Writes the report as `name` (or name-<n>.json when that is taken) with PrivateFiles, and only then
// applies the count. Handlers of concurrent hosts serialise this on a lock of the folder, so no report
// is lost and the count is exact.
Outcome writeReport(const QString &folder, const QString &appStem, const QString &name, const QByteArray &data,
                    int dumpCount);

} // namespace Retention

#endif // KIVCRASHHANDLER_RETENTION_H
