#include "host/hostprocess.h"

#include "capture/dumpreader.h"
#include "host/useridentity.h"
#include "processstart.h"

#include <QDir>
#include <QSysInfo>

#include <windows.h>
#include <shellapi.h>
#include <winternl.h>

namespace {

// Another process's command line, split as the C runtime splits it: NtQueryInformationProcess's
// ProcessCommandLineInformation (Windows 8.1 and later, and Wine) with the handle the executable's
// name is asked with; empty where it cannot be read.
QStringList processCommandLine(qint64 pid)
{
    QStringList arguments;
    const HANDLE process = pid > 0 && pid <= 0xffffffffLL ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid)) : nullptr;
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    using Query = LONG(WINAPI *)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    const auto query = ntdll ? reinterpret_cast<Query>(reinterpret_cast<void *>(GetProcAddress(ntdll, "NtQueryInformationProcess"))) : nullptr;
    if (!process)
        return arguments;
    constexpr ULONG kProcessCommandLineInformation = 60;
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    ULONG length = 0;
    if (query && query(process, kProcessCommandLineInformation, buffer.data(), ULONG(buffer.size()), &length) >= 0) {
        const auto *text = reinterpret_cast<const UNICODE_STRING *>(buffer.constData());
        const std::wstring line(text->Buffer, text->Length / sizeof(wchar_t));
        int count = 0;
        if (LPWSTR *argv = line.empty() ? nullptr : CommandLineToArgvW(line.c_str(), &count)) {
            for (int i = 0; i < count; ++i)
                arguments.append(QString::fromWCharArray(argv[i]));
            LocalFree(argv);
        }
    }
    CloseHandle(process);
    return arguments;
}

} // namespace

QString processExecutable(qint64 pid)
{
    if (pid <= 0 || pid > 0xffffffffLL)
        return QString();
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return QString();
    wchar_t path[32768];
    DWORD size = DWORD(sizeof(path) / sizeof(path[0]));
    const QString result = QueryFullProcessImageNameW(process, 0, path, &size) ? QString::fromWCharArray(path, int(size)) : QString();
    CloseHandle(process);
    return result;
}

// static
HostProcess HostProcess::learn(qint64 pid)
{
    HostProcess host;
    host.pid = pid;
    host.user = currentUserId();
    const ProcessStart start = processStart(pid);
    if (start.startMsecs >= 0)
        host.startedAt = QDateTime::fromMSecsSinceEpoch(start.startMsecs, Qt::UTC);
    host.executable = processExecutable(pid);
    host.commandLine = processCommandLine(pid);
    if (!host.executable.isEmpty())
        host.executableBuildId = DumpReader::fileBuildId(host.executablePath());
    host.osRelease = QSysInfo::prettyProductName();
    host.kernel = QSysInfo::kernelType() + QLatin1Char(' ') + QSysInfo::kernelVersion(); // "winnt 10.0.19045"
    return host;
}

double systemUptimeSeconds()
{
    return GetTickCount64() / 1000.0;
}
