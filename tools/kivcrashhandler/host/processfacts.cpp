#include "host/processfacts.h"

QJsonArray ProcessFacts::threadsSeen() const
{
    QJsonArray names;
    for (auto it = threads.cbegin(); it != threads.cend(); ++it)
        names.append(QJsonObject {{QStringLiteral("tid"), double(it.key())}, {QStringLiteral("name"), it.value()}});
    return names;
}
