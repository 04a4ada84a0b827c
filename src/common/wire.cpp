#include "wire.h"

namespace Wire {

QString serverName(qint64 hostPid)
{
    return QLatin1String(kServerNamePrefix) + QString::number(hostPid);
}

QString clientLoginMessage(const QString &userId, const QString &liveId, bool liveFlag)
{
    return QLatin1String("ClientLogin@") + userId + QLatin1Char('@') + liveId + QLatin1Char('@')
            + QString::number(liveFlag ? 1 : 0);
}

} // namespace Wire
