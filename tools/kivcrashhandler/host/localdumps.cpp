#include "host/localdumps.h"

#include <QFile>

namespace LocalDumps {

LocalDumpSettings of(const QString &executableName)
{
    return readLocalDumpSettings(executableName, QFile::decodeName(qgetenv("OSTREL_WER_SETTINGS_DIR")));
}

LocalDumpSettings ofApp(const QString &appName)
{
    return of(appName + QLatin1String(".exe"));
}

QJsonObject toJson(const LocalDumpSettings &settings)
{
    return {
        {QStringLiteral("count"), settings.dumpCount},
        {QStringLiteral("folder"), settings.dumpFolder},
        {QStringLiteral("type"), settings.dumpType},
    };
}

bool registered(const LocalDumpSettings &settings)
{
    return settings.dumpType >= 0 || settings.dumpCount >= 0 || !settings.dumpFolder.isEmpty();
}

bool keepsDump(const LocalDumpSettings &settings)
{
    return settings.dumpType == 2 || settings.dumpType < 0;
}

} // namespace LocalDumps
