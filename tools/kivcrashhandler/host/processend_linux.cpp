#include "host/processend.h"

#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <sys/ioctl.h>
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

// From linux/pidfd.h of Linux 6.15 (Debian 12's headers predate it). The kernel copies as many
// bytes as the size encoded in the request number, so this first layout works on later kernels too.
struct PidfdInfo
{
    uint64_t mask;
    uint64_t cgroupid;
    uint32_t pid;
    uint32_t tgid;
    uint32_t ppid;
    uint32_t ruid;
    uint32_t rgid;
    uint32_t euid;
    uint32_t egid;
    uint32_t suid;
    uint32_t sgid;
    uint32_t fsuid;
    uint32_t fsgid;
    int32_t exit_code;
};
static_assert(sizeof(PidfdInfo) == 64, "PIDFD_INFO_SIZE_VER0");

constexpr unsigned long kPidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);
constexpr uint64_t kPidfdInfoExit = 1u << 3;
constexpr int kRetryMs = 10;

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

QString ProcessEnd::signalName(int signal)
{
    const char *abbrev = signal > 0 ? ::sigabbrev_np(signal) : nullptr;
    return abbrev ? QStringLiteral("SIG") + QString::fromLatin1(abbrev) : QStringLiteral("signal %1").arg(signal);
}

ProcessEnd readProcessEnd(qintptr pidfd, int waitMs)
{
    ProcessEnd end;
    if (pidfd < 0) {
        end.unknownReason = QStringLiteral("the process was not watched through a pidfd (it had ended before watching began, or the kernel predates Linux 5.3)");
        return end;
    }
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        PidfdInfo info;
        std::memset(&info, 0, sizeof info);
        info.mask = kPidfdInfoExit;
        if (::ioctl(int(pidfd), kPidfdGetInfo, &info) != 0) {
            end.unknownReason = errno == ENOTTY || errno == EINVAL
                    ? QStringLiteral("this kernel does not report a process's exit status to a non-parent (needs Linux 6.15)")
                    : QStringLiteral("PIDFD_GET_INFO failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return end;
        }
        if (info.mask & kPidfdInfoExit)
            return ProcessEnd::fromWaitStatus(info.exit_code);
        if (clock.elapsed() >= waitMs) {
            end.unknownReason = QStringLiteral("no exit status within %1 ms: the process was not reaped by its parent, "
                                               "or the kernel predates Linux 6.15").arg(waitMs);
            return end;
        }
        QThread::msleep(kRetryMs);
    }
}
