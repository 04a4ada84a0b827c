#include "host/hostprocess.h"

#include <QDir>
#include <QJsonArray>

#ifndef KIVCRASHHANDLER_VERSION
#define KIVCRASHHANDLER_VERSION "unknown"
#endif

QString handlerVersion()
{
    return QStringLiteral(KIVCRASHHANDLER_VERSION);
}

HostIdentity HostProcess::identity() const
{
    HostIdentity host;
    host.pid = pid;
    host.uid = user;
    if (startedAt.isValid())
        host.startedAt = startedAt.toString(Qt::ISODateWithMs);
    return host;
}

QString HostProcess::executablePath() const
{
    return QDir::fromNativeSeparators(executable);
}

QJsonObject HostIdentity::toJson() const
{
    return QJsonObject {
        {QStringLiteral("hostPid"), double(pid)},
        {QStringLiteral("hostStartedAt"), startedAt},
        {QStringLiteral("uid"), uid},
    };
}

bool HostIdentity::matches(const QJsonObject &line) const
{
    return !startedAt.isEmpty()
            && line.value(QStringLiteral("hostPid")).toDouble() == double(pid)
            && line.value(QStringLiteral("hostStartedAt")).toString() == startedAt
            && line.value(QStringLiteral("uid")) == uid;
}

QJsonObject HostProcess::environmentJson(const QDateTime &hostGoneAt) const
{
    const double uptime = systemUptimeSeconds();
    const QDateTime end = hostGoneAt.isValid() ? hostGoneAt : QDateTime::currentDateTimeUtc();
    return QJsonObject {
        {QStringLiteral("commandLine"), QJsonArray::fromStringList(commandLine)},
        {QStringLiteral("executable"), executablePath()},
        {QStringLiteral("executableBuildId"), executableBuildId},
        {QStringLiteral("osRelease"), osRelease},
        {QStringLiteral("kernel"), kernel},
        {QStringLiteral("qtRuntime"), QString::fromLatin1(qVersion())},
        {QStringLiteral("handlerVersion"), handlerVersion()},
        {QStringLiteral("hostStartedAt"), startedAt.isValid() ? startedAt.toString(Qt::ISODateWithMs) : QString()},
        {QStringLiteral("hostRanSeconds"), startedAt.isValid() ? QJsonValue(startedAt.msecsTo(end) / 1000.0) : QJsonValue()},
        {QStringLiteral("systemUptimeSeconds"), uptime < 0 ? QJsonValue() : QJsonValue(uptime)},
    };
}
