#include "capture/processend.h"

// Windows: the process handle's exit code. Not read yet: every end is Unknown.
QString ProcessEnd::signalName(int signal)
{
    return QStringLiteral("signal %1").arg(signal);
}

ProcessEnd readProcessEnd(qintptr handle, int waitMs)
{
    Q_UNUSED(handle);
    Q_UNUSED(waitMs);
    ProcessEnd end;
    end.unknownReason = QStringLiteral("the exit code is not read on Windows yet");
    return end;
}
