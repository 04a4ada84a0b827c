#include "host/useridentity.h"

#include <unistd.h>

QJsonValue currentUserId()
{
    return double(::geteuid());
}
