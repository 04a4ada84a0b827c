#ifndef KIVCRASHHANDLER_USERIDENTITY_H
#define KIVCRASHHANDLER_USERIDENTITY_H

#include <QJsonValue>

// This process's user as journals record it ("uid"). One file per platform:
//   Unix     the effective uid, a number
//   Windows  the SID of the process token's user as text ("S-1-5-21-..."); "" when unreadable
QJsonValue currentUserId();

#endif // KIVCRASHHANDLER_USERIDENTITY_H
