#include "host/hostprocess.h"

#include "capture/dumpreader.h"
#include "host/useridentity.h"
#include "processstart.h"

#include <QDir>
#include <QSysInfo>

#include <cstring>
#include <string>

#include <windows.h>
#include <shellapi.h>
#include <winternl.h>

namespace {

// A string of another process's memory, "" when it cannot be read.
QString readRemoteString(HANDLE process, const UNICODE_STRING &text)
{
    std::wstring buffer(text.Length / sizeof(wchar_t), L'\0');
    SIZE_T read = 0;
    if (buffer.empty() || !ReadProcessMemory(process, text.Buffer, &buffer[0], text.Length, &read) || read != text.Length)
        return QString();
    return QString::fromStdWString(buffer);
}

// Another process's command line (split as the C runtime splits it) and working folder, from the
// parameters its process environment block points to: readable by the user who runs it (Windows 7
// and later, and Wine). Left empty where they cannot be read.
void readProcessParameters(qint64 pid, QStringList *arguments, QString *workingFolder)
{
    if (pid <= 0 || pid > 0xffffffffLL)
        return;
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    using Query = LONG(WINAPI *)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    const auto query = ntdll ? reinterpret_cast<Query>(reinterpret_cast<void *>(GetProcAddress(ntdll, "NtQueryInformationProcess"))) : nullptr;
    const HANDLE process = query ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, DWORD(pid)) : nullptr;
    if (!process)
        return;
    PROCESS_BASIC_INFORMATION basic {};
    PEB peb {};
    RTL_USER_PROCESS_PARAMETERS parameters {};
    ULONG length = 0;
    if (query(process, ProcessBasicInformation, &basic, sizeof(basic), &length) >= 0 && basic.PebBaseAddress
        && ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof(peb), nullptr) && peb.ProcessParameters
        && ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof(parameters), nullptr)) {
        const QString line = readRemoteString(process, parameters.CommandLine);
        int count = 0;
        if (LPWSTR *argv = line.isEmpty() ? nullptr : CommandLineToArgvW(reinterpret_cast<LPCWSTR>(line.utf16()), &count)) {
            for (int i = 0; i < count; ++i)
                arguments->append(QString::fromWCharArray(argv[i]));
            LocalFree(argv);
        }
        // CurrentDirectory.DosPath, the first member after the five the header leaves unnamed.
        UNICODE_STRING folder;
        std::memcpy(&folder, &parameters.Reserved2[5], sizeof(folder));
        *workingFolder = QDir::fromNativeSeparators(readRemoteString(process, folder));
        if (workingFolder->size() > 3 && workingFolder->endsWith(QLatin1Char('/')))
            workingFolder->chop(1);
    }
    CloseHandle(process);
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
    readProcessParameters(pid, &host.commandLine, &host.workingFolder);
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
