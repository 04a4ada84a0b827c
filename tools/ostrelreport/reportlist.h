#ifndef OSTRELREPORT_REPORTLIST_H
#define OSTRELREPORT_REPORTLIST_H

#include <QString>

class QTextStream;

// The reports of a dump folder, oldest first, one a line: when the host ended, its pid and app,
// the kind of end, whether the report was delivered, and the crash signature. Grouped, one line per
// signature with its count and its first and last time, most frequent first. A file that is not a
// readable report is listed with the reason. False when the folder cannot be read.
namespace ReportList {

bool list(const QString &folder, bool group, QTextStream &out, QString *error);

} // namespace ReportList

#endif // OSTRELREPORT_REPORTLIST_H
