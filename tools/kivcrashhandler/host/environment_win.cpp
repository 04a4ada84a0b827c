#include "host/environment.h"

#include "capture/dumpreader.h"
#include "processstart.h"

#include <QDir>
#include <QSysInfo>

#include <windows.h>

namespace {

QString imagePath(qint64 pid)
{
    if (pid <= 0 || pid > 0xffffffffLL)
        return QString();
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return QString();
    wchar_t path[32768];
    DWORD size = DWORD(sizeof(path) / sizeof(path[0]));
    const QString result = QueryFullProcessImageNameW(process, 0, path, &size)
            ? QDir::fromNativeSeparators(QString::fromWCharArray(path, int(size)))
            : QString();
    CloseHandle(process);
    return result;
}

} // namespace

// static
HostEnvironment HostEnvironment::capture(qint64 hostPid)
{
    HostEnvironment env;
    env.hostPid = hostPid;
    env.executable = imagePath(hostPid);
    if (!env.executable.isEmpty())
        env.executableBuildId = DumpReader::fileBuildId(env.executable);
    const ProcessStart start = processStart(hostPid);
    if (start.startMsecs >= 0)
        env.hostStartedAt = QDateTime::fromMSecsSinceEpoch(start.startMsecs, Qt::UTC);
    env.osRelease = QSysInfo::prettyProductName();
    env.kernel = QSysInfo::kernelType() + QLatin1Char(' ') + QSysInfo::kernelVersion(); // "winnt 10.0.19045"
    return env;
}

double systemUptimeSeconds()
{
    return GetTickCount64() / 1000.0;
}
