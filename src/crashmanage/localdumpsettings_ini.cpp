#include "crashmanage/localdumpsettings.h"

#include <QSettings>
#include <QVariant>

// Where there is no registry, the same settings live in an INI file of the same organization and
// application names, in the system-scope INI folder. Values and defaults read exactly as from the
// registry, so the comparison logic is the same everywhere.
LocalDumpSettings readLocalDumpSettings(const QString &executableName)
{
    const QSettings settings(QSettings::IniFormat, QSettings::SystemScope,
                             localDumpsOrganization(), executableName);
    LocalDumpSettings result;
    result.dumpFolder = settings.value(QStringLiteral("DumpFolder")).toString();
    result.dumpCount = settings.value(QStringLiteral("DumpCount"), -1).toInt();
    result.dumpType = settings.value(QStringLiteral("DumpType"), -1).toInt();
    return result;
}
