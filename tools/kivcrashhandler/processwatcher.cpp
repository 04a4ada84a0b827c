// The platform-neutral half of ProcessWatcher; opening and closing the process are per platform.

#include "processwatcher.h"

#include <QTimer>

void ProcessWatcher::onEnded()
{
    // A readable pidfd stays readable: the notifier is switched off (both kinds have the slot).
    QMetaObject::invokeMethod(m_notifier, "setEnabled", Q_ARG(bool, false));
    reportExit();
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
