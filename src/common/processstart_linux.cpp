#include "processstart.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QList>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Plain read(2): /proc files report size 0, and this runs for every file a host start looks at.
QByteArray readProcFile(const QByteArray &path)
{
    QByteArray bytes;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, int(n));
    ::close(fd);
    return bytes;
}

// The boot time from /proc/stat ("btime <seconds since 1970>"), read once.
qint64 bootSeconds()
{
    static const qint64 seconds = [] {
        const QByteArray stat = readProcFile("/proc/stat");
        const int at = stat.indexOf("\nbtime ");
        if (at < 0)
            return qint64(-1);
        const int end = stat.indexOf('\n', at + 1);
        bool ok = false;
        const qint64 value = stat.mid(at + 7, end - at - 7).trimmed().toLongLong(&ok);
        return ok ? value : qint64(-1);
    }();
    return seconds;
}

// /proc/<pid>/stat: the fields after the command name (field 2), which is in parentheses and may
// itself hold spaces and parentheses, so the fields are counted after its last ')'. The first is
// field 3 (state), so field 22 (start time in clock ticks after boot) is at 19. Empty if damaged.
QList<QByteArray> fieldsAfterName(const QByteArray &stat)
{
    const int close = stat.lastIndexOf(')');
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    if (close < 0 || fields.size() < 20)
        return {};
    return fields;
}

} // namespace

// /proc/<pid>/stat: field 3 is the state ('Z' zombie, 'X' dead), field 22 the start time.
ProcessStart processStart(qint64 pid)
{
    ProcessStart result;
    if (pid <= 0)
        return result;
    const QByteArray stat = readProcFile("/proc/" + QByteArray::number(pid) + "/stat");
    if (stat.isEmpty()) {
        // Absent, or present but unreadable: kill(pid, 0) tells the two apart.
        if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            result.state = ProcessStart::NotRunning;
        return result;
    }
    const QList<QByteArray> fields = fieldsAfterName(stat);
    if (fields.isEmpty())
        return result;
    const bool ended = fields.at(0) == "Z" || fields.at(0) == "X";
    if (ended)
        result.state = ProcessStart::NotRunning;
    bool ok = false;
    const qint64 ticks = fields.at(19).toLongLong(&ok);
    const long hz = ::sysconf(_SC_CLK_TCK);
    if (!ok || hz <= 0 || bootSeconds() < 0)
        return result;
    if (!ended)
        result.state = ProcessStart::Running;
    result.startMsecs = bootSeconds() * 1000 + ticks * 1000 / hz;
    return result;
}

// The start time in /proc/self/stat counts clock ticks on the boot-time clock, which
// CLOCK_BOOTTIME reads now.
qint64 ownProcessAgeMsecs()
{
    const QList<QByteArray> fields = fieldsAfterName(readProcFile("/proc/self/stat"));
    const long hz = ::sysconf(_SC_CLK_TCK);
    timespec now {};
    bool ok = false;
    const qint64 ticks = fields.value(19).toLongLong(&ok);
    if (!ok || hz <= 0 || ::clock_gettime(CLOCK_BOOTTIME, &now) != 0)
        return -1;
    const qint64 age = qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000 - ticks * 1000 / hz;
    return age >= 0 ? age : -1;
}

// QLocalServer puts a relative name's socket file in the temporary folder.
bool localServerPresent(const QString &name)
{
    return QFileInfo(QDir::tempPath() + QLatin1Char('/') + name).exists()
            || QFileInfo(QDir::tempPath() + QLatin1Char('/') + name).isSymLink();
}
