#include "capture/processfacts.h"

// Windows: nothing is learned yet while the process runs; Windows Error Reporting writes the dump.
void ProcessFacts::refresh()
{
}

void ProcessFacts::raiseCoreLimit()
{
    coreLimitNote = QStringLiteral("dumps are written by Windows Error Reporting");
}

QJsonObject ProcessFacts::toJson() const
{
    return QJsonObject {{QStringLiteral("pid"), double(pid)}, {QStringLiteral("executable"), executable}};
}
