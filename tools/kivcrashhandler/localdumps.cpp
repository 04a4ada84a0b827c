#include "localdumps.h"

#include "crashmanage/localdumpsettings.h"

QJsonObject localDumpsOf(const QString &appName)
{
    const LocalDumpSettings settings = readLocalDumpSettings(appName + QLatin1String(".exe"));
    return {
        {QStringLiteral("count"), settings.dumpCount},
        {QStringLiteral("folder"), settings.dumpFolder},
        {QStringLiteral("type"), settings.dumpType},
    };
}
