#include "capture/corelocator.h"

// Windows: the dump Windows Error Reporting writes into the application's LocalDumps folder. Not
// looked for yet.
CoreSearch findCore(const ProcessFacts &facts, const ProcessEnd &end, const QString &scratchFolder, int waitMs)
{
    Q_UNUSED(facts);
    Q_UNUSED(end);
    Q_UNUSED(scratchFolder);
    Q_UNUSED(waitMs);
    CoreSearch search;
    search.reason = QStringLiteral("dumps are not looked for on Windows yet");
    return search;
}
