#include "consentmemory.h"

#include <QSettings>
#include <QUrl>

namespace {

QString key(const QString &appName)
{
    return QStringLiteral("AlwaysSend/") + QString::fromLatin1(QUrl::toPercentEncoding(appName));
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
