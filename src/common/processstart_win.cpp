#include "processstart.h"

#include <windows.h>

// GetProcessTimes gives the creation time as 100 ns units since 1601; a pid that OpenProcess calls
// invalid names no process. Access refused (another user's process) is Unknown.
ProcessStart processStart(qint64 pid)
{
    ProcessStart result;
    if (pid <= 0)
        return result;
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process) {
        if (::GetLastError() == ERROR_INVALID_PARAMETER)
            result.state = ProcessStart::NotRunning;
        return result;
    }
    DWORD exitCode = 0;
    FILETIME created, exited, kernel, user;
    if (::GetExitCodeProcess(process, &exitCode) && exitCode != STILL_ACTIVE) {
        result.state = ProcessStart::NotRunning;
    } else if (::GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        const qint64 since1601 = (qint64(created.dwHighDateTime) << 32) | created.dwLowDateTime;
        result.state = ProcessStart::Running;
        result.startMsecs = since1601 / 10000 - Q_INT64_C(11644473600000);
    }
    ::CloseHandle(process);
    return result;
}

// The creation time against the system time now, both in 100 ns units since 1601.
qint64 ownProcessAgeMsecs()
{
    FILETIME created, exited, kernel, user, now;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user))
        return -1;
    ::GetSystemTimeAsFileTime(&now);
    const qint64 since = (qint64(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    const qint64 until = (qint64(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return until >= since ? (until - since) / 10000 : -1;
}

// A pipe that exists answers WaitNamedPipe with success or a time-out; a missing one with
// ERROR_FILE_NOT_FOUND.
bool localServerPresent(const QString &name)
{
    const QString pipe = QStringLiteral("\\\\.\\pipe\\") + name;
    if (::WaitNamedPipeW(reinterpret_cast<LPCWSTR>(pipe.utf16()), 1))
        return true;
    return ::GetLastError() != ERROR_FILE_NOT_FOUND;
}
