#include "localdumpregistrar.h"

#include "crashmanage/localdumpsettings.h"

#include <QJsonObject>
#include <QJsonValue>

#include <cmath>
#include <limits>

namespace {

bool isInt32(const QJsonValue &value)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    return std::trunc(d) == d && d >= std::numeric_limits<int>::min() && d <= std::numeric_limits<int>::max();
}

QString settingsStatusText(QSettings::Status status)
{
    return status == QSettings::AccessError ? QStringLiteral("access error") : QStringLiteral("format error");
}

} // namespace

LocalDumpRegistrar::LocalDumpRegistrar(const QString &settingsDir)
#ifdef Q_OS_WIN
    // HKLM\Software\Microsoft\Windows\Windows Error Reporting\LocalDumps, 64-bit view, where WER looks.
    : m_format(QSettings::Registry64Format)
{
    Q_UNUSED(settingsDir);
}
#else
    : m_format(QSettings::IniFormat)
{
    if (!settingsDir.isEmpty())
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, settingsDir);
}
#endif

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

    QSettings settings(m_format, QSettings::SystemScope, localDumpsOrganization(), appName.toString());
    settings.setValue(QStringLiteral("DumpFolder"), dmpPath.toString());
    settings.setValue(QStringLiteral("DumpCount"), count.toInt());
    settings.setValue(QStringLiteral("DumpType"), type.toInt());
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        *error = QStringLiteral("cannot write the settings of %1 (%2)")
                         .arg(appName.toString(), settingsStatusText(settings.status()));
        return false;
    }
    return true;
}
