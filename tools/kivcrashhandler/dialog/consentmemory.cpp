#include "consentmemory.h"

#include <QSettings>

namespace {

// "/" and "\\" would open groups (registry keys on Windows): they and "%" are percent-encoded.
QString key(QString appName)
{
    appName.replace(QLatin1Char('%'), QStringLiteral("%25"))
            .replace(QLatin1Char('/'), QStringLiteral("%2F"))
            .replace(QLatin1Char('\\'), QStringLiteral("%5C"));
    return QStringLiteral("AlwaysSend/") + appName;
}

} // namespace

namespace ConsentMemory {

bool alwaysSend(const QString &appName)
{
    const QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Ostrel"),
                             QStringLiteral("KivCrashHandler"));
    return settings.value(key(appName), false).toBool();
}

bool setAlwaysSend(const QString &appName, bool always, QString *error)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Ostrel"),
                       QStringLiteral("KivCrashHandler"));
    if (always)
        settings.setValue(key(appName), true);
    else
        settings.remove(key(appName));
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return true;
    *error = QStringLiteral("the settings %1 cannot be written").arg(settings.fileName());
    return false;
}

} // namespace ConsentMemory
