#include "capture/minidump.h"
#include "host/processend.h"

#include <windows.h>

namespace {

constexpr quint32 kControlCExit = 0xc000013a;

QString lastError()
{
    const DWORD error = GetLastError();
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString message = length > 0 ? QString::fromWCharArray(text, int(length)).trimmed() : QString();
    LocalFree(text);
    return message.isEmpty() ? QStringLiteral("error %1").arg(error) : QStringLiteral("%1 (error %2)").arg(message).arg(error);
}

// An unhandled exception ends a process with its code as the exit code. The exception codes are
// NTSTATUS values of severity error (0xC...) from the system, plus the few named ones of
// severity warning (breakpoint, single step, misalignment, guard page). Codes with the customer
// bit set (0xE...) are not taken for crashes: exit(-1) leaves 0xFFFFFFFF.
bool isExceptionCode(quint32 code)
{
    return (code & 0xf0000000u) == 0xc0000000u || !Minidump::knownExceptionName(code).isEmpty();
}

} // namespace

// No signals on Windows.
QString ProcessEnd::signalName(int signal)
{
    return QStringLiteral("signal %1").arg(signal);
}

ProcessEnd readProcessEnd(qintptr handle, int waitMs)
{
    ProcessEnd end;
    HANDLE process = reinterpret_cast<HANDLE>(handle);
    if (handle == -1 || handle == 0) {
        end.unknownReason = QStringLiteral("the process was not watched through a process handle");
        return end;
    }
    // Signalled once the process has ended; only then is the exit code final (a process may also
    // exit with STILL_ACTIVE's value, 259).
    const DWORD waited = WaitForSingleObject(process, DWORD(qMax(0, waitMs)));
    if (waited == WAIT_TIMEOUT) {
        end.unknownReason = QStringLiteral("the process had not ended %1 ms after it was seen to end").arg(waitMs);
        return end;
    }
    if (waited != WAIT_OBJECT_0) {
        end.unknownReason = QStringLiteral("cannot wait for the process: ") + lastError();
        return end;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) {
        end.unknownReason = QStringLiteral("cannot read the exit code: ") + lastError();
        return end;
    }
    if (code == kControlCExit) {
        end.kind = ProcessEnd::Killed;
        end.exceptionCode = code;
    } else if (isExceptionCode(code)) {
        end.kind = ProcessEnd::Crashed;
        end.exceptionCode = code;
    } else {
        end.kind = ProcessEnd::Exited;
        end.exitCode = int(code);
    }
    return end;
}
