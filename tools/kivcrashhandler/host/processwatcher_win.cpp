#include "host/processwatcher.h"

#include <QTimer>
#include <QWinEventNotifier>

#include <windows.h>
#include <tlhelp32.h>

namespace {

// Whether a process with this id is still listed (a process that could not be opened, such as
// another user's; a reused id counts as running, as on Linux).
bool processListed(qint64 pid)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return true; // cannot tell: keep watching
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry))
        found = qint64(entry.th32ProcessID) == pid;
    CloseHandle(snapshot);
    return found;
}

} // namespace

// The handle stays open for the watcher's life: it keeps the exit code readable (readProcessEnd)
// after the process has ended.
ProcessWatcher::ProcessWatcher(qint64 pid, QObject *parent)
    : QObject(parent)
    , m_pid(pid)
{
    const HANDLE process = pid > 0 && pid <= 0xffffffffLL
            ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid))
            : nullptr;
    if (process) {
        m_handle = reinterpret_cast<qintptr>(process);
        auto *notifier = new QWinEventNotifier(process, this);
        m_notifier = notifier;
        const bool ok = connect(notifier, SIGNAL(activated(HANDLE)), this, SLOT(onEnded()));
        Q_ASSERT(ok);
        Q_UNUSED(ok);
        return;
    }
    // ERROR_INVALID_PARAMETER: no process has this id (any more).
    if (GetLastError() == ERROR_INVALID_PARAMETER || !processListed(pid)) {
        QTimer::singleShot(0, this, SLOT(reportExit()));
        return;
    }
    startPolling();
}

QString ProcessWatcher::method() const
{
    return m_handle != -1 ? QStringLiteral("handle") : QStringLiteral("poll");
}

qintptr ProcessWatcher::endHandle() const
{
    return m_handle;
}

ProcessWatcher::~ProcessWatcher()
{
    delete m_notifier;
    if (m_handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

bool ProcessWatcher::hasEnded(qint64 pid)
{
    return !processListed(pid);
}
