#include "report/crashreport.h"

#include "qtcompat.h"
#include "session/session.h"
#include "storage/privatefiles.h"

#include <QDir>
#include <QDomDocument>
#include <QDomNamedNodeMap>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

namespace CrashReport {

namespace {

QString isoTime(const QDateTime &when)
{
    return when.isValid() ? when.toUTC().toString(Qt::ISODateWithMs) : QString();
}

} // namespace

QString clientInfoPath(const Context &context)
{
    const QString name = QStringLiteral("KivClientInfo_%1_%2.xml")
                                 .arg(context.args.clientName)
                                 .arg(context.args.hostPid);
    const QString home = context.homePath + QLatin1String("/AppData/Local/OstrelSDK/") + name;
    if (!QFileInfo::exists(home) && !context.hostExecutable.isEmpty()) {
        const QString fallback = QFileInfo(context.hostExecutable).absolutePath() + QLatin1String("/OstrelSDK/") + name;
        if (QFileInfo::exists(fallback))
            return fallback;
    }
    return home;
}

QJsonObject readClientInfo(const QString &path)
{
    QJsonObject info {{QStringLiteral("path"), path}, {QStringLiteral("found"), false}};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        info.insert(QStringLiteral("error"), QStringLiteral("missing or unreadable: ") + file.errorString());
        return info;
    }
    info.insert(QStringLiteral("found"), true);
    QDomDocument doc;
    QString parseError;
    if (!doc.setContent(&file, false, &parseError)) {
        info.insert(QStringLiteral("error"), QStringLiteral("not well-formed XML: ") + parseError);
        return info;
    }
    // Attributes are looked up by name; their order in the file carries no meaning.
    QJsonObject attributes;
    const QDomNamedNodeMap map = doc.documentElement().attributes();
    for (int i = 0; i < map.count(); ++i) {
        const QDomAttr attr = map.item(i).toAttr();
        attributes.insert(attr.name(), attr.value());
    }
    info.insert(QStringLiteral("attributes"), attributes);
    return info;
}

QJsonObject logTail(const QString &path, qint64 maxBytes)
{
    QJsonObject tail {{QStringLiteral("path"), path}, {QStringLiteral("found"), false}};
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        tail.insert(QStringLiteral("error"), path.isEmpty() ? QStringLiteral("no path given")
                                                            : QStringLiteral("missing or unreadable: ") + file.errorString());
        return tail;
    }
    const qint64 size = file.size();
    const qint64 from = qMax<qint64>(0, size - maxBytes);
    file.seek(from);
    tail.insert(QStringLiteral("found"), true);
    tail.insert(QStringLiteral("size"), double(size));
    tail.insert(QStringLiteral("cut"), from > 0);
    tail.insert(QStringLiteral("tail"), QtCompat::fromUtf8UpToNul(file.read(maxBytes)));
    return tail;
}

QJsonObject build(const Context &context, const Session &session)
{
    const HandlerArgs &args = context.args;
    const QJsonObject clientInfo = readClientInfo(clientInfoPath(context));
    const QJsonObject attributes = clientInfo.value(QStringLiteral("attributes")).toObject();

    QJsonArray thirdparty;
    const QStringList paths = attributes.value(QStringLiteral("thirdpartyLogPath")).toString().split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &path : paths)
        thirdparty.append(logTail(path));
    const QJsonObject logs {
        {QStringLiteral("host"), logTail(attributes.value(QStringLiteral("logPath")).toString())},
        {QStringLiteral("thirdparty"), thirdparty},
    };

    QJsonObject report {
        {QStringLiteral("hostPid"), double(args.hostPid)},
        {QStringLiteral("appName"), args.appName},
        {QStringLiteral("clientName"), args.clientName},
        {QStringLiteral("handlerParams"), QJsonArray {args.handlerParam1, args.handlerParam2, args.handlerParam3}},
        {QStringLiteral("dumpFolder"), args.dumpFolder},
        {QStringLiteral("hostExecutable"), context.hostExecutable},
        {QStringLiteral("handlerStartedAt"), isoTime(context.startedAt)},
        {QStringLiteral("hostGoneAt"), isoTime(context.hostGoneAt)},
        {QStringLiteral("writtenAt"), isoTime(QDateTime::currentDateTimeUtc())},
        {QStringLiteral("session"), session.toJson()},
        {QStringLiteral("clientInfo"), clientInfo},
        {QStringLiteral("logs"), logs},
        {QStringLiteral("journal"), context.journalPath},
        {QStringLiteral("formatVersion"), kFormatVersion},
        {QStringLiteral("summary"), context.summary},
        {QStringLiteral("crash"), context.crash},
    };
    // What groups this crash with others of the same bug (crashsignature.h), beside the summary.
    if (context.crash.contains(QStringLiteral("signature")))
        report.insert(QStringLiteral("signature"), context.crash.value(QStringLiteral("signature")));
    if (!context.nameSquatted.isEmpty())
        report.insert(QStringLiteral("nameSquatted"), context.nameSquatted);
    return report;
}

QByteArray toBytes(const QJsonObject &report)
{
    // The summary goes on the first line, so that `head -1` answers what happened; the document
    // stays one JSON object.
    QJsonObject rest = report;
    const QJsonValue summary = rest.take(QStringLiteral("summary"));
    QByteArray body = QJsonDocument(rest).toJson(QJsonDocument::Indented);
    if (summary.isString()) {
        const QByteArray member = QJsonDocument(QJsonArray {summary}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
        body = "{\"summary\": " + member + (rest.isEmpty() ? QByteArray() : QByteArray(",")) + body.mid(1);
    }
    return body;
}

bool write(const QString &path, const QJsonObject &report, QString *error)
{
    const QFileInfo target(path);
    return PrivateFiles::writeAtomically(target.absolutePath(), target.fileName(), toBytes(report), error);
}

} // namespace CrashReport
