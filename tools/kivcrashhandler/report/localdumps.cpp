#include "report/localdumps.h"

#include "localdumpsettings.h"

QJsonObject localDumpsOf(const QString &appName)
{
    const LocalDumpSettings settings = readLocalDumpSettings(appName + QLatin1String(".exe"));
    return {
        {QStringLiteral("count"), settings.dumpCount},
        {QStringLiteral("folder"), settings.dumpFolder},
        {QStringLiteral("type"), settings.dumpType},
    };
}

bool keepsDumpOf(const QString &appName)
{
    const int type = readLocalDumpSettings(appName + QLatin1String(".exe")).dumpType;
    return type == 2 || type < 0;
}
