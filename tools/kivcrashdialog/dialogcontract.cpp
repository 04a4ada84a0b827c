#include "dialogcontract.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>

namespace {

const QString kVersionKey = QStringLiteral("version");

// The object of `json`, or false with *error saying why there is none.
bool parseObject(const QByteArray &json, QJsonObject *object, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset);
        return false;
    }
    if (!doc.isObject()) {
        *error = QStringLiteral("not a JSON object");
        return false;
    }
    *object = doc.object();
    const int version = object->value(kVersionKey).toInt(0);
    if (version != DialogContract::kVersion) {
        *error = QStringLiteral("version %1 is not %2").arg(object->value(kVersionKey).toVariant().toString())
                         .arg(DialogContract::kVersion);
        return false;
    }
    return true;
}

} // namespace

namespace DialogContract {

bool readFile(const QString &path, qint64 maxBytes, QByteArray *data, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    // Read one byte past the bound to tell "exactly the bound" from "larger".
    *data = file.read(maxBytes + 1);
    if (data->size() > maxBytes) {
        *error = QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(maxBytes);
        data->clear();
        return false;
    }
    return true;
}

bool writePrivateFile(const QString &path, const QByteArray &data, QString *error)
{
    QSaveFile file(path);
    const bool ok = file.open(QIODevice::WriteOnly)
            && file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
            && file.write(data) == data.size() && file.commit();
    if (!ok)
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return ok;
}

} // namespace DialogContract

bool DialogRequest::offersRestart() const
{
    return restartable && hostRanSeconds >= DialogContract::kRestartMinimumRunSeconds;
}

QByteArray DialogRequest::toJson() const
{
    QJsonArray files;
    for (const DialogAttachment &a : attachments)
        files.append(QJsonObject {{QStringLiteral("name"), a.name}, {QStringLiteral("path"), a.path},
                                  {QStringLiteral("bytes"), double(a.bytes)}});
    const QJsonObject object {
        {kVersionKey, DialogContract::kVersion},
        {QStringLiteral("appName"), appName},
        {QStringLiteral("summary"), summary},
        {QStringLiteral("details"), details},
        {QStringLiteral("attachments"), files},
        {QStringLiteral("reportPath"), reportPath},
        {QStringLiteral("hostRanSeconds"), hostRanSeconds},
        {QStringLiteral("hostExecutable"), hostExecutable},
        {QStringLiteral("restartable"), restartable},
        {QStringLiteral("timeoutSeconds"), timeoutSeconds},
        {QStringLiteral("handlerPid"), double(handlerPid)},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool DialogRequest::fromJson(const QByteArray &json, DialogRequest *request, QString *error)
{
    QJsonObject o;
    if (!parseObject(json, &o, error))
        return false;
    DialogRequest r;
    r.appName = o.value(QStringLiteral("appName")).toString();
    r.summary = o.value(QStringLiteral("summary")).toString();
    r.details = o.value(QStringLiteral("details")).toString();
    r.reportPath = o.value(QStringLiteral("reportPath")).toString();
    r.hostRanSeconds = o.value(QStringLiteral("hostRanSeconds")).toDouble(-1);
    r.hostExecutable = o.value(QStringLiteral("hostExecutable")).toString();
    r.restartable = o.value(QStringLiteral("restartable")).toBool(false);
    r.handlerPid = qint64(o.value(QStringLiteral("handlerPid")).toDouble(0));
    const int timeout = o.value(QStringLiteral("timeoutSeconds")).toInt(DialogContract::kDefaultTimeoutSeconds);
    r.timeoutSeconds = std::clamp(timeout, DialogContract::kMinTimeoutSeconds, DialogContract::kMaxTimeoutSeconds);
    const QJsonArray files = o.value(QStringLiteral("attachments")).toArray();
    for (const QJsonValue &v : files) {
        const QJsonObject f = v.toObject();
        r.attachments.append({f.value(QStringLiteral("name")).toString(), f.value(QStringLiteral("path")).toString(),
                              qint64(f.value(QStringLiteral("bytes")).toDouble(-1))});
    }
    *request = r;
    return true;
}

QString DialogAnswer::choiceName(Choice choice)
{
    switch (choice) {
    case Send:
        return QStringLiteral("send");
    case Decline:
        return QStringLiteral("decline");
    case None:
        break;
    }
    return QStringLiteral("none");
}

QByteArray DialogAnswer::toJson() const
{
    const QJsonObject object {
        {kVersionKey, DialogContract::kVersion},
        {QStringLiteral("answer"), choiceName(answer)},
        {QStringLiteral("comment"), comment},
        {QStringLiteral("email"), email},
        {QStringLiteral("alwaysSend"), alwaysSend},
        {QStringLiteral("restart"), restart},
        {QStringLiteral("elapsedMs"), double(elapsedMs)},
        {QStringLiteral("reason"), reason},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool DialogAnswer::fromJson(const QByteArray &json, DialogAnswer *answer, QString *error)
{
    QJsonObject o;
    if (!parseObject(json, &o, error))
        return false;
    DialogAnswer a;
    const QString choice = o.value(QStringLiteral("answer")).toString();
    if (choice == choiceName(Send)) {
        a.answer = Send;
    } else if (choice == choiceName(Decline)) {
        a.answer = Decline;
    } else if (choice != choiceName(None)) {
        *error = QStringLiteral("unknown answer \"%1\"").arg(choice.left(40));
        return false;
    }
    a.comment = o.value(QStringLiteral("comment")).toString().left(DialogContract::kMaxCommentChars);
    a.email = o.value(QStringLiteral("email")).toString();
    if (a.email.size() > DialogContract::kMaxEmailChars)
        a.email.clear();
    a.alwaysSend = a.answer == Send && o.value(QStringLiteral("alwaysSend")).toBool(false);
    a.restart = o.value(QStringLiteral("restart")).toBool(false);
    a.elapsedMs = qint64(o.value(QStringLiteral("elapsedMs")).toDouble(0));
    a.reason = o.value(QStringLiteral("reason")).toString();
    *answer = a;
    return true;
}
