#include "host/processwatcher.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// glibc 2.36 has a wrapper, older ones do not; the raw system call works with both.
int openPidfd(qint64 pid)
{
#ifdef SYS_pidfd_open
    return int(syscall(SYS_pidfd_open, pid_t(pid), 0));
#else
    Q_UNUSED(pid);
    errno = ENOSYS;
    return -1;
#endif
}

// kill(pid, 0) also succeeds on a zombie, which has ended but was not reaped yet.
bool processGone(qint64 pid)
{
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return true;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')'); // the command name may hold spaces and parentheses
    return close > 0 && line.mid(close + 2, 1) == "Z";
}

} // namespace

ProcessWatcher::ProcessWatcher(qint64 pid, QObject *parent)
    : QObject(parent)
    , m_pid(pid)
{
    const int pidfd = openPidfd(pid);
    if (pidfd >= 0) {
        m_handle = pidfd;
        m_notifier = new QSocketNotifier(pidfd, QSocketNotifier::Read, this);
        const bool ok = connect(m_notifier, SIGNAL(activated(QSocketDescriptor,QSocketNotifier::Type)), this, SLOT(onEnded()));
        Q_ASSERT(ok);
        Q_UNUSED(ok);
        return;
    }
    if (errno == ESRCH) {
        QTimer::singleShot(0, this, SLOT(reportExit()));
        return;
    }
    startPolling();
}

QString ProcessWatcher::method() const
{
    return m_handle >= 0 ? QStringLiteral("pidfd") : QStringLiteral("poll");
}

qintptr ProcessWatcher::endHandle() const
{
    return m_handle;
}

ProcessWatcher::~ProcessWatcher()
{
    delete m_notifier;
    if (m_handle >= 0)
        ::close(int(m_handle));
}

bool ProcessWatcher::hasEnded(qint64 pid)
{
    return processGone(pid);
}
