#include "protocol/handlermessage.h"

#include "qtcompat.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace {

// Splits "a@b@c" after the command into exactly `count` fields. The first count-1 fields end at
// the next "@"; the last takes the rest, "@"s and all. Missing fields are empty.
QStringList splitFields(const QString &rest, int count)
{
    QStringList fields;
    int from = 0;
    for (int i = 0; i < count - 1; ++i) {
        const int at = rest.indexOf(QLatin1Char('@'), from);
        if (at < 0)
            break;
        fields.append(rest.mid(from, at - from));
        from = at + 1;
    }
    fields.append(rest.mid(from));
    while (fields.size() < count)
        fields.append(QString());
    return fields;
}

// ClientLogin@user@live@flag: the flag is the last field and the user id the first, so a live id
// holding "@" still comes out whole.
QStringList splitLogin(const QString &rest)
{
    QStringList parts = rest.split(QLatin1Char('@'));
    if (parts.size() < 3)
        return splitFields(rest, 3);
    const QString user = parts.takeFirst();
    const QString flag = parts.takeLast();
    return {user, parts.join(QLatin1Char('@')), flag};
}

// A subProcessInfo payload must be a JSON object naming the executable; everything else in it is
// optional and read leniently.
QString checkSubProcessPayload(const QString &json, QJsonObject *object)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return QStringLiteral("payload is not JSON: ") + parseError.errorString();
    if (!doc.isObject())
        return QStringLiteral("payload is not a JSON object");
    *object = doc.object();
    if (jsonMemberText(object->value(QStringLiteral("appName"))).isEmpty())
        return QStringLiteral("payload has no appName");
    return QString();
}

} // namespace

QString jsonMemberText(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 15);
    return QString();
}

// static
HandlerMessage HandlerMessage::parse(const QByteArray &frame)
{
    HandlerMessage m;
    m.size = frame.size();

    // The text ends at a NUL; fromUtf8 replaces every bad sequence, a cut one at the end too;
    // whether there was any is asked separately, of the whole frame.
    m.text = QtCompat::fromUtf8UpToNul(frame);
    m.validUtf8 = QtCompat::isValidUtf8(frame);

    if (frame.isEmpty()) {
        m.kind = Empty;
        return m;
    }

    const int at = m.text.indexOf(QLatin1Char('@'));
    m.command = at < 0 ? m.text : m.text.left(at);
    const QString rest = at < 0 ? QString() : m.text.mid(at + 1);

    if (m.command == QLatin1String("cloudConfig")) {
        m.kind = CloudConfig;
        m.fields = splitFields(rest, 2);
    } else if (m.command == QLatin1String("ClientLogin")) {
        m.kind = ClientLogin;
        m.fields = splitLogin(rest);
    } else if (m.command == QLatin1String("ExceptionCheck")) {
        m.kind = ExceptionCheck;
        m.fields = splitFields(rest, 2);
    } else if (m.command == QLatin1String("StreamNode")) {
        m.kind = StreamNode;
        m.fields = splitFields(rest, 2);
    } else if (m.command == QLatin1String("ExitClient")) {
        m.kind = ExitClient;
    } else if (m.command == QLatin1String("subProcessInfo")) {
        m.kind = SubProcessInfo;
        m.error = checkSubProcessPayload(rest, &m.payload);
    } else {
        m.kind = Unknown;
    }
    return m;
}

QByteArray HandlerMessage::reply() const
{
    if (kind == Empty)
        return QByteArrayLiteral("ok empty");
    // Only printable ASCII goes back: the library logs replies as local 8-bit text.
    QByteArray word = command.left(32).toLatin1();
    for (char &c : word) {
        if (c < 0x20 || c > 0x7e)
            c = '?';
    }
    if (kind == Unknown)
        return "unknown " + word;
    if (isMalformed())
        return "bad " + word;
    return "ok " + word;
}
