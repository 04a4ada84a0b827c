#include "host/processend.h"

#include "capture/minidump.h"

QString ProcessEnd::kindName(Kind kind)
{
    switch (kind) {
    case Crashed: return QStringLiteral("crashed");
    case Killed: return QStringLiteral("killed");
    case Exited: return QStringLiteral("exited");
    case Unknown: break;
    }
    return QStringLiteral("unknown");
}

QJsonObject ProcessEnd::toJson() const
{
    QJsonObject o {{QStringLiteral("kind"), kindName(kind)}};
    if (status >= 0)
        o.insert(QStringLiteral("waitStatus"), status);
    if (kind == Exited)
        o.insert(QStringLiteral("exitCode"), exitCode);
    if (signal > 0) {
        o.insert(QStringLiteral("signal"), signal);
        o.insert(QStringLiteral("signalName"), signalName(signal));
        o.insert(QStringLiteral("coreDumped"), coreDumped);
    }
    if (exceptionCode != 0) {
        o.insert(QStringLiteral("exceptionCode"), Minidump::codeText(exceptionCode));
        o.insert(QStringLiteral("exceptionName"), Minidump::exceptionName(exceptionCode));
    }
    if (kind == Unknown)
        o.insert(QStringLiteral("reason"), unknownReason);
    return o;
}
