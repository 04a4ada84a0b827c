#ifndef OSTRELREPORT_REPORTFILE_H
#define OSTRELREPORT_REPORTFILE_H

#include <QJsonObject>
#include <QString>

// A crash report as the handler writes it (docs/report-format.md), read with its failures stated.
namespace ReportFile {

// The report at `path`; an empty object and *error ("damaged: ...", "format version 1, ...") when
// it is not one this tool reads.
QJsonObject read(const QString &path, QString *error);

// "<folder>/<name>.symbolized.json" beside "<folder>/<name>.json".
QString symbolizedPath(const QString &reportPath);

// What the delivery record beside the report says ("local" when there is none).
QString delivery(const QString &reportPath);

// Whether a ".json" file in a dump folder is a report rather than one written beside a report.
bool isReportName(const QString &fileName);

} // namespace ReportFile

#endif // OSTRELREPORT_REPORTFILE_H
