#include "localdumpsettings.h"

#include <QSettings>
#include <QVariant>

QString localDumpsOrganization()
{
    return QStringLiteral("Microsoft/Windows/Windows Error Reporting/LocalDumps");
}

namespace {

// True when the scope's file of the executable holds any value; the result is then the file's alone,
// with the registry's defaults for values it lacks. A missing, unreadable or broken file holds none.
bool readScope(QSettings::Scope scope, const QString &executableName, LocalDumpSettings *result)
{
    QSettings settings(QSettings::IniFormat, scope, localDumpsOrganization(), executableName);
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
LocalDumpSettings readLocalDumpSettings(const QString &executableName)
{
    LocalDumpSettings result;
    if (!readScope(QSettings::UserScope, executableName, &result))
        readScope(QSettings::SystemScope, executableName, &result);
    return result;
}
