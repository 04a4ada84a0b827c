// The platform-neutral half of ProcessWatcher; opening and closing the process are per platform.

#include "host/processwatcher.h"

#include <QTimer>

namespace {

constexpr int kPollIntervalMs = 250;

} // namespace

void ProcessWatcher::onEnded()
{
    // A readable pidfd stays readable: the notifier is switched off (both kinds have the slot).
    QMetaObject::invokeMethod(m_notifier, "setEnabled", Q_ARG(bool, false));
    reportExit();
}

void ProcessWatcher::startPolling()
{
    m_poll = new QTimer(this);
    m_poll->setInterval(kPollIntervalMs);
    const bool ok = connect(m_poll, SIGNAL(timeout()), this, SLOT(onPoll()));
    Q_ASSERT(ok);
    Q_UNUSED(ok);
    m_poll->start();
    QTimer::singleShot(0, this, SLOT(onPoll()));
}

void ProcessWatcher::onPoll()
{
    if (hasEnded(m_pid)) {
        m_poll->stop();
        reportExit();
    }
}

void ProcessWatcher::reportExit()
{
    if (m_reported)
        return;
    m_reported = true;
    emit exited(m_pid);
}
