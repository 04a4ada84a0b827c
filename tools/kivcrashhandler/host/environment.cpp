#include "host/environment.h"

#include <QJsonArray>

#ifndef KIVCRASHHANDLER_VERSION
#define KIVCRASHHANDLER_VERSION "unknown"
#endif

QString handlerVersion()
{
    return QStringLiteral(KIVCRASHHANDLER_VERSION);
}

QJsonObject HostEnvironment::toJson(const QDateTime &hostGoneAt) const
{
    const double uptime = systemUptimeSeconds();
    const QDateTime end = hostGoneAt.isValid() ? hostGoneAt : QDateTime::currentDateTimeUtc();
    return QJsonObject {
        {QStringLiteral("commandLine"), QJsonArray::fromStringList(commandLine)},
        {QStringLiteral("executable"), executable},
        {QStringLiteral("executableBuildId"), executableBuildId},
        {QStringLiteral("osRelease"), osRelease},
        {QStringLiteral("kernel"), kernel},
        {QStringLiteral("qtRuntime"), QString::fromLatin1(qVersion())},
        {QStringLiteral("handlerVersion"), handlerVersion()},
        {QStringLiteral("hostStartedAt"), hostStartedAt.isValid() ? hostStartedAt.toString(Qt::ISODateWithMs) : QString()},
        {QStringLiteral("hostRanSeconds"), hostStartedAt.isValid() ? QJsonValue(hostStartedAt.msecsTo(end) / 1000.0) : QJsonValue()},
        {QStringLiteral("systemUptimeSeconds"), uptime < 0 ? QJsonValue() : QJsonValue(uptime)},
    };
}
