#include "capture/coreanalysis.h"

// Windows: the dump is a minidump. Not read yet.
namespace CoreAnalysis {

QJsonObject analyze(const QString &dumpPath, const QString &executable)
{
    Q_UNUSED(dumpPath);
    Q_UNUSED(executable);
    return QJsonObject {{QStringLiteral("error"), QStringLiteral("minidumps are not read yet")}};
}

QString fileBuildId(const QString &path)
{
    Q_UNUSED(path);
    return QString();
}

} // namespace CoreAnalysis
