#include "localdumpregistrar.h"

#include "toolstreams.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QJsonValue>

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

bool isInt32(const QJsonValue &value)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    return std::trunc(d) == d && d >= std::numeric_limits<int>::min() && d <= std::numeric_limits<int>::max();
}

} // namespace

LocalDumpRegistrar::LocalDumpRegistrar(const QString &settingsDir)
    : m_writer(settingsDir)
{
}

QString LocalDumpRegistrar::logFilePath() const
{
    return m_writer.logFolder() + QLatin1String("/KivRegWER.log");
}

/*
 * Started detached by a host, the tool inherits the host's standard streams, where its lines do not
 * belong: they go to the log file instead (private, appended, started afresh past 256 KiB), or
 * nowhere when that cannot be opened. Each run begins with a line "<UTC time> KivRegWER <pid>".
 */
void LocalDumpRegistrar::redirectOutputToLog() const
{
    const QString path = logFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!ToolStreams::redirectTo(path))
        return;
    std::fprintf(stderr, "%s KivRegWER %lld\n",
                 qPrintable(QDateTime::currentDateTimeUtc().toString(Qt::ISODate)),
                 static_cast<long long>(QCoreApplication::applicationPid()));
    std::fflush(stderr);
}

bool LocalDumpRegistrar::registerEntry(const QJsonValue &entry, QString *error) const
{
    if (!entry.isObject()) {
        *error = QStringLiteral("not an object");
        return false;
    }
    const QJsonObject object = entry.toObject();
    const QJsonValue appName = object.value(QLatin1String("m_appName"));
    const QJsonValue dmpPath = object.value(QLatin1String("m_dmpPath"));
    const QJsonValue count = object.value(QLatin1String("m_count"));
    const QJsonValue type = object.value(QLatin1String("m_type"));

    // The name is one executable file name, one sub-key: a separator would address another key
    // (or, with the INI stand-in, another folder).
    if (!appName.isString() || appName.toString().isEmpty()
        || appName.toString().contains(QLatin1Char('/')) || appName.toString().contains(QLatin1Char('\\'))) {
        *error = QStringLiteral("\"m_appName\" is not an executable file name");
        return false;
    }
    if (!dmpPath.isString()) {
        *error = QStringLiteral("\"m_dmpPath\" is not a string");
        return false;
    }
    if (!isInt32(count)) {
        *error = QStringLiteral("\"m_count\" is not an integer");
        return false;
    }
    if (!isInt32(type)) {
        *error = QStringLiteral("\"m_type\" is not an integer");
        return false;
    }

    return m_writer.write(appName.toString(), dmpPath.toString(), count.toInt(), type.toInt(), error);
}
