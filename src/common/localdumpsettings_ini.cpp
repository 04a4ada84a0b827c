#include "localdumpsettings.h"

#include <QSettings>
#include <QVariant>

QString localDumpsOrganization()
{
    return QStringLiteral("Microsoft/Windows/Windows Error Reporting/LocalDumps");
}

namespace {

// True when the executable's file holds any value; the result is then the file's alone,
// with the registry's defaults for values it lacks. A missing, unreadable or broken file holds none.
bool readSettings(QSettings &settings, LocalDumpSettings *result)
{
    settings.setFallbacksEnabled(false);
    if (settings.childKeys().isEmpty())
        return false;
    result->dumpFolder = settings.value(QStringLiteral("DumpFolder")).toString();
    result->dumpCount = settings.value(QStringLiteral("DumpCount"), -1).toInt();
    result->dumpType = settings.value(QStringLiteral("DumpType"), -1).toInt();
    return true;
}

} // namespace

// Where there is no registry, the settings live in INI files: the user's own first (that is where
// the registration tool writes them, without any special rights), then the system's. Values and
// defaults read exactly as from the registry, so the comparison logic is the same everywhere.
LocalDumpSettings readLocalDumpSettings(const QString &executableName, const QString &userFolder)
{
    LocalDumpSettings result;
    // With `userFolder`, the file QSettings would use had the user scope's path been moved there.
    bool found = false;
    if (userFolder.isEmpty()) {
        QSettings user(QSettings::IniFormat, QSettings::UserScope, localDumpsOrganization(), executableName);
        found = readSettings(user, &result);
    } else {
        QSettings user(userFolder + QLatin1Char('/') + localDumpsOrganization() + QLatin1Char('/') + executableName
                               + QLatin1String(".ini"), QSettings::IniFormat);
        found = readSettings(user, &result);
    }
    if (!found) {
        QSettings system(QSettings::IniFormat, QSettings::SystemScope, localDumpsOrganization(), executableName);
        readSettings(system, &result);
    }
    return result;
}
