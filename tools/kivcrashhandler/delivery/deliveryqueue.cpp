#include "deliveryqueue.h"

#include "storage/privatefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace DeliveryQueue {

namespace {

constexpr qint64 kMaxEntryBytes = 64 * 1024;
const char *const kStates[] = {"queued", "delivered", "refused", "expired", "rateLimited"};

QString timeText(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QDateTime timeOf(const QJsonObject &json, const char *key)
{
    return QDateTime::fromString(json.value(QLatin1String(key)).toString(), Qt::ISODateWithMs);
}

} // namespace

QString Entry::stateText(State state)
{
    return QString::fromLatin1(kStates[state]);
}

QString Entry::reportPath() const
{
    return QFileInfo(path).absolutePath() + QLatin1Char('/') + report;
}

QJsonObject Entry::toJson() const
{
    QJsonObject json {
        {QStringLiteral("report"), report},
        {QStringLiteral("app"), app},
        {QStringLiteral("eventId"), eventId},
        {QStringLiteral("dsn"), dsn},
        {QStringLiteral("consent"), consent},
        {QStringLiteral("config"), config},
        {QStringLiteral("state"), stateText(state)},
        {QStringLiteral("attempts"), attempts},
        {QStringLiteral("createdAt"), timeText(createdAt)},
    };
    const auto put = [&json](const char *key, const QString &value) {
        if (!value.isEmpty())
            json.insert(QLatin1String(key), value);
    };
    put("nextAttemptAt", state == Queued ? timeText(nextAttemptAt) : QString());
    put("finishedAt", timeText(finishedAt));
    put("serverId", serverId);
    put("reason", reason);
    put("countedIn", countedIn);
    if (!feedback.isEmpty())
        json.insert(QStringLiteral("feedback"), feedback);
    return json;
}

QString entryPath(const QString &reportPath)
{
    QString base = reportPath;
    if (base.endsWith(QLatin1String(".json")))
        base.chop(5);
    return base + QLatin1String(kSuffix);
}

bool read(const QString &path, Entry *entry, QString *error)
{
    QString openError;
    const int fd = PrivateFiles::openForReading(path, &openError);
    if (fd < 0) {
        *error = openError;
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *error = file.errorString();
        return false;
    }
    if (file.size() > kMaxEntryBytes) {
        *error = QStringLiteral("larger than %1 bytes").arg(kMaxEntryBytes);
        return false;
    }
    QJsonParseError parseError;
    const QJsonObject json = QJsonDocument::fromJson(file.readAll(), &parseError).object();
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not JSON: ") + parseError.errorString();
        return false;
    }
    Entry e;
    e.path = path;
    e.report = json.value(QLatin1String("report")).toString();
    e.app = json.value(QLatin1String("app")).toString();
    e.eventId = json.value(QLatin1String("eventId")).toString();
    e.dsn = json.value(QLatin1String("dsn")).toString();
    e.consent = json.value(QLatin1String("consent")).toString();
    e.config = json.value(QLatin1String("config")).toObject();
    e.attempts = json.value(QLatin1String("attempts")).toInt();
    e.createdAt = timeOf(json, "createdAt");
    e.nextAttemptAt = timeOf(json, "nextAttemptAt");
    e.finishedAt = timeOf(json, "finishedAt");
    e.serverId = json.value(QLatin1String("serverId")).toString();
    e.reason = json.value(QLatin1String("reason")).toString();
    e.countedIn = json.value(QLatin1String("countedIn")).toString();
    e.feedback = json.value(QLatin1String("feedback")).toObject();
    const QString state = json.value(QLatin1String("state")).toString();
    int s = 0;
    while (s < 5 && state != QLatin1String(kStates[s]))
        ++s;
    if (s == 5)
        *error = QStringLiteral("unknown state \"%1\"").arg(state.left(32));
    else if (e.report.isEmpty() || e.report.contains(QLatin1Char('/')) || e.report.contains(QLatin1Char('\\')))
        *error = QStringLiteral("no report file name");
    else if (e.eventId.size() != 32)
        *error = QStringLiteral("no event id");
    else if (!e.createdAt.isValid())
        *error = QStringLiteral("no creation time");
    if (s == 5 || !error->isEmpty())
        return false;
    e.state = Entry::State(s);
    *entry = e;
    return true;
}

bool write(const Entry &entry, QString *error)
{
    const QFileInfo info(entry.path);
    return PrivateFiles::writeAtomically(info.absolutePath(), info.fileName(),
                                         QJsonDocument(entry.toJson()).toJson(QJsonDocument::Indented), error);
}

QStringList entryPaths(const QString &folder)
{
    QStringList paths;
    const QDir dir(folder);
    for (const QString &name : dir.entryList({QStringLiteral("*") + QLatin1String(kSuffix)}, QDir::Files, QDir::Name))
        paths.append(dir.filePath(name));
    return paths;
}

void setAside(const QString &path)
{
    QFile::remove(path + QLatin1String(".damaged"));
    QFile::rename(path, path + QLatin1String(".damaged"));
}

} // namespace DeliveryQueue
