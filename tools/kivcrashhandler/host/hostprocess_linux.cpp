#include "host/hostprocess.h"

#include "capture/dumpreader.h"
#include "host/useridentity.h"
#include "processstart.h"

#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

namespace {

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(64 * 1024) : QByteArray();
}

// PRETTY_NAME of os-release(5), else what Qt makes of it.
QString readOsRelease()
{
    for (const QString &path : {QStringLiteral("/etc/os-release"), QStringLiteral("/usr/lib/os-release")}) {
        for (const QByteArray &line : readSmallFile(path).split('\n')) {
            if (line.startsWith("PRETTY_NAME="))
                return QString::fromUtf8(line.mid(12)).remove(QLatin1Char('"'));
        }
    }
    return QSysInfo::prettyProductName();
}

} // namespace

QString processExecutable(qint64 pid)
{
    return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
}

// static
HostProcess HostProcess::learn(qint64 pid)
{
    HostProcess host;
    host.pid = pid;
    host.user = currentUserId();
    const ProcessStart start = processStart(pid);
    if (start.startMsecs >= 0) // also a host that has just ended and is not reaped yet
        host.startedAt = QDateTime::fromMSecsSinceEpoch(start.startMsecs, Qt::UTC);
    const QString proc = QStringLiteral("/proc/%1/").arg(pid);
    QByteArray cmdline = readSmallFile(proc + QLatin1String("cmdline"));
    if (cmdline.endsWith('\0'))
        cmdline.chop(1);
    if (!cmdline.isEmpty()) {
        for (const QByteArray &arg : cmdline.split('\0'))
            host.commandLine.append(QString::fromLocal8Bit(arg));
    }
    host.executable = processExecutable(pid);
    host.workingFolder = QFileInfo(proc + QLatin1String("cwd")).symLinkTarget();
    host.executableBuildId = DumpReader::fileBuildId(proc + QLatin1String("exe"));
    host.osRelease = readOsRelease();
    host.kernel = QSysInfo::kernelType() + QLatin1Char(' ') + QSysInfo::kernelVersion();
    return host;
}

double systemUptimeSeconds()
{
    const QList<QByteArray> uptime = readSmallFile(QStringLiteral("/proc/uptime")).split(' ');
    return uptime.isEmpty() || uptime.first().isEmpty() ? -1 : uptime.first().toDouble();
}
