#include "clientinfo/processstart.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QList>

#include <cerrno>
#include <csignal>
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

} // namespace

// /proc/<pid>/stat: field 3 is the state ('Z' zombie, 'X' dead), field 22 the start time in clock
// ticks after boot. The command name (field 2) is in parentheses and may itself hold spaces and
// parentheses, so the fields are counted after its last ')'.
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
    const int close = stat.lastIndexOf(')');
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    // fields[0] is field 3 (state), so field 22 is fields[19].
    if (close < 0 || fields.size() < 20)
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

// QLocalServer puts a relative name's socket file in the temporary folder.
bool localServerPresent(const QString &name)
{
    return QFileInfo(QDir::tempPath() + QLatin1Char('/') + name).exists()
            || QFileInfo(QDir::tempPath() + QLatin1Char('/') + name).isSymLink();
}
