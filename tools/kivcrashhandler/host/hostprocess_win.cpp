#include "host/hostprocess.h"

#include "capture/dumpreader.h"
#include "host/useridentity.h"
#include "processstart.h"

#include <QDir>
#include <QSysInfo>

#include <windows.h>

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
