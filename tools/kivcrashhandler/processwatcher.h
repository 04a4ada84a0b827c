#ifndef KIVCRASHHANDLER_PROCESSWATCHER_H
#define KIVCRASHHANDLER_PROCESSWATCHER_H

#include <QObject>

class QSocketNotifier;
class QTimer;

// Tells when a process that is not our child ends. On Linux it opens a pidfd (pidfd_open(2)), which
// becomes readable when the process exits, and waits on it through the event loop: no polling.
// Where pidfd_open is unavailable (kernels before 5.3), it falls back to asking kill(pid, 0) every
// 250 ms, counting a zombie as ended. exited() is emitted once, also when the process was already
// gone when watching began.
class ProcessWatcher : public QObject
{
    Q_OBJECT

public:
    explicit ProcessWatcher(qint64 pid, QObject *parent = nullptr);
    ~ProcessWatcher() override;

    qint64 pid() const { return m_pid; }
    bool usesPidfd() const { return m_pidfd >= 0; }
    // The pidfd, which keeps answering how the process ended; -1 when watched by polling.
    int pidfd() const { return m_pidfd; }

signals:
    void exited(qint64 pid);

private slots:
    void onPidfdReadable();
    void onPoll();
    void reportExit();

private:
    qint64 m_pid;
    int m_pidfd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_poll = nullptr;
    bool m_reported = false;

    Q_DISABLE_COPY(ProcessWatcher)
};

#endif // KIVCRASHHANDLER_PROCESSWATCHER_H
