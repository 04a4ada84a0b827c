#include "deliveryconfig.h"

#include <QRegularExpression>

namespace DeliveryConfig {

namespace {

constexpr int kMaxDsnChars = 2048;

QString dsnError(const QString &text, const QUrl &url)
{
    if (text.size() > kMaxDsnChars)
        return QStringLiteral("longer than %1 characters").arg(kMaxDsnChars);
    if (!url.isValid())
        return QStringLiteral("not a URL: ") + url.errorString();
    const QString scheme = url.scheme();
    if (scheme != QLatin1String("https") && scheme != QLatin1String("http"))
        return QStringLiteral("the scheme must be https or http, not \"%1\"").arg(scheme);
    if (url.host().isEmpty())
        return QStringLiteral("no host");
    if (url.userName().isEmpty())
        return QStringLiteral("no public key before the \"@\"");
    if (!QRegularExpression(QStringLiteral("^[A-Za-z0-9]+$")).match(url.userName()).hasMatch())
        return QStringLiteral("the public key holds characters other than letters and digits");
    if (url.hasQuery() || url.hasFragment())
        return QStringLiteral("a query or fragment after the project id");
    const QString path = url.path();
    const QString project = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    if (!QRegularExpression(QStringLiteral("^[0-9A-Za-z_-]+$")).match(project).hasMatch())
        return QStringLiteral("no project id at the end of the path");
    return QString();
}

} // namespace

Dsn Dsn::parse(const QString &text)
{
    Dsn dsn;
    dsn.text = text.trimmed();
    const QUrl url(dsn.text, QUrl::StrictMode);
    dsn.error = dsnError(dsn.text, url);
    if (!dsn.error.isEmpty())
        return dsn;
    dsn.publicKey = url.userName();
    const QString path = url.path();
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    dsn.projectId = path.mid(slash + 1);
    QUrl endpoint;
    endpoint.setScheme(url.scheme());
    endpoint.setHost(url.host());
    endpoint.setPort(url.port());
    endpoint.setPath(path.left(slash) + QStringLiteral("/api/") + dsn.projectId + QStringLiteral("/envelope/"));
    dsn.endpoint = endpoint;
    return dsn;
}

QString uploadText(Upload upload)
{
    switch (upload) {
    case Upload::On:
        return QStringLiteral("on");
    case Upload::Ask:
        return QStringLiteral("ask");
    case Upload::Off:
        break;
    }
    return QStringLiteral("off");
}

QJsonObject Config::toJson() const
{
    const Dsn parsed = dsn();
    QJsonObject json {{QStringLiteral("upload"), uploadText(upload)}};
    if (!dsnText.isEmpty())
        json.insert(QStringLiteral("server"), parsed.isValid() ? parsed.endpoint.toString() : QStringLiteral("(invalid)"));
    if (!release.isEmpty())
        json.insert(QStringLiteral("release"), release);
    if (!environment.isEmpty())
        json.insert(QStringLiteral("environment"), environment);
    return json;
}

void apply(Config *config, const QString &text)
{
    const QStringList items = text.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &raw : items) {
        const QString item = raw.trimmed();
        const int eq = item.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            if (!item.isEmpty())
                config->notes.append(QStringLiteral("not a key=value item: ") + item.left(64));
            continue;
        }
        const QString key = item.left(eq).trimmed().toLower();
        const QString value = item.mid(eq + 1).trimmed();
        if (key == QLatin1String("dsn")) {
            config->dsnText = value;
        } else if (key == QLatin1String("upload")) {
            const QString word = value.toLower();
            if (word == QLatin1String("on"))
                config->upload = Upload::On;
            else if (word == QLatin1String("ask"))
                config->upload = Upload::Ask;
            else {
                config->upload = Upload::Off; // anything but a clear yes is a no
                if (word != QLatin1String("off"))
                    config->notes.append(QStringLiteral("upload=%1 is not on, off or ask: taken as off").arg(value.left(32)));
            }
        } else if (key == QLatin1String("release")) {
            config->release = value;
        } else if (key == QLatin1String("environment")) {
            config->environment = value;
        } else if (key == QLatin1String("ratelimit")) {
            bool ok = false;
            const int n = value.toInt(&ok);
            if (ok && n > 0)
                config->perHour = n;
            else
                config->notes.append(QStringLiteral("ratelimit=%1 is not a positive number: ignored").arg(value.left(32)));
        } else {
            config->extra.insert(item.left(eq).trimmed(), value);
        }
    }
}

QString cloudConfigItems(const QString &fields)
{
    static const QRegularExpression newItem(QStringLiteral("^\\s*([A-Za-z_][A-Za-z0-9_.-]*=|;|$)"));
    QString out = fields;
    for (int at = out.indexOf(QLatin1Char('@')); at >= 0; at = out.indexOf(QLatin1Char('@'), at + 1)) {
        int next = out.indexOf(QLatin1Char('@'), at + 1);
        const QString following = out.mid(at + 1, next < 0 ? -1 : next - at - 1);
        if (newItem.match(following).hasMatch())
            out[at] = QLatin1Char(';');
    }
    return out;
}

Config merge(const QStringList &handlerParameters, const QStringList &cloudConfigs)
{
    Config config;
    for (const QString &text : handlerParameters)
        apply(&config, text);
    for (const QString &text : cloudConfigs)
        apply(&config, text);
    return config;
}

} // namespace DeliveryConfig
