#include "reportfile.h"

#include "report/crashreport.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace ReportFile {

namespace {

const QLatin1String kSymbolized(".symbolized.json");
const QLatin1String kDelivery(".delivery.json");

QString withoutJson(const QString &path)
{
    return path.endsWith(QLatin1String(".json")) ? path.chopped(5) : path;
}

} // namespace

QJsonObject read(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot be read: ") + file.errorString();
        return QJsonObject();
    }
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parse);
    if (parse.error != QJsonParseError::NoError) {
        *error = QStringLiteral("damaged: %1 at byte %2").arg(parse.errorString()).arg(parse.offset);
        return QJsonObject();
    }
    const QJsonObject report = document.object();
    const int version = report.value(QStringLiteral("formatVersion")).toInt(1);
    if (!document.isObject() || version != CrashReport::kFormatVersion) {
        *error = QStringLiteral("format version %1; this tool reads version %2").arg(version).arg(CrashReport::kFormatVersion);
        return QJsonObject();
    }
    if (!report.value(QStringLiteral("crash")).isObject()) {
        *error = QStringLiteral("damaged: it has no \"crash\" object");
        return QJsonObject();
    }
    return report;
}

QString symbolizedPath(const QString &reportPath)
{
    return withoutJson(reportPath) + kSymbolized;
}

QString delivery(const QString &reportPath)
{
    for (const QString &path : {withoutJson(reportPath) + kDelivery, reportPath + kDelivery}) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QJsonObject record = QJsonDocument::fromJson(file.readAll()).object();
        for (const char *member : {"status", "state"}) {
            const QString text = record.value(QLatin1String(member)).toString();
            if (!text.isEmpty())
                return text;
        }
        return record.contains(QStringLiteral("eventId")) ? QStringLiteral("delivered") : QStringLiteral("unreadable record");
    }
    return QStringLiteral("local");
}

bool isReportName(const QString &fileName)
{
    return fileName.endsWith(QLatin1String(".json")) && !fileName.endsWith(kSymbolized) && !fileName.endsWith(kDelivery);
}

} // namespace ReportFile
