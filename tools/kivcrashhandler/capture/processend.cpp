#include "capture/processend.h"

#include <csignal>
#include <cstring>
#include <sys/wait.h>

namespace {

// Signals whose default action is "core" (signal(7)).
bool dumpsCore(int signal)
{
    switch (signal) {
    case SIGQUIT: case SIGILL: case SIGTRAP: case SIGABRT: case SIGBUS: case SIGFPE:
    case SIGSEGV: case SIGXCPU: case SIGXFSZ: case SIGSYS:
        return true;
    default:
        return false;
    }
}

} // namespace

ProcessEnd ProcessEnd::fromWaitStatus(int status)
{
    ProcessEnd end;
    end.status = status;
    if (WIFEXITED(status)) {
        end.kind = Exited;
        end.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
        end.coreDumped = WCOREDUMP(status);
        end.kind = (dumpsCore(end.signal) || end.coreDumped) ? Crashed : Killed;
    } else {
        end.kind = Unknown;
        end.unknownReason = QStringLiteral("wait status 0x%1 is neither an exit nor a signal").arg(status, 0, 16);
    }
    return end;
}

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

QString ProcessEnd::signalName(int signal)
{
    const char *abbrev = signal > 0 ? ::sigabbrev_np(signal) : nullptr;
    return abbrev ? QStringLiteral("SIG") + QString::fromLatin1(abbrev) : QStringLiteral("signal %1").arg(signal);
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
    if (kind == Unknown)
        o.insert(QStringLiteral("reason"), unknownReason);
    return o;
}
