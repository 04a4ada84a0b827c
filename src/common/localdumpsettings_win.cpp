#include "localdumpsettings.h"

#include <QSettings>
#include <QVariant>

QString localDumpsOrganization()
{
    return QStringLiteral("Microsoft\\Windows\\Windows Error Reporting\\LocalDumps");
}

// HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\Windows Error Reporting\LocalDumps\<executable>,
// through the 64-bit view also from a 32-bit process, since that is where WER looks.
LocalDumpSettings readLocalDumpSettings(const QString &executableName, const QString &userFolder)
{
    Q_UNUSED(userFolder);
    const QSettings settings(QSettings::Registry64Format, QSettings::SystemScope,
                             localDumpsOrganization(), executableName);
    LocalDumpSettings result;
    result.dumpFolder = settings.value(QStringLiteral("DumpFolder")).toString();
    result.dumpCount = settings.value(QStringLiteral("DumpCount"), -1).toInt();
    result.dumpType = settings.value(QStringLiteral("DumpType"), -1).toInt();
    return result;
}
