#ifndef KIVCRASHHANDLER_PROCESSWATCHER_H
#define KIVCRASHHANDLER_PROCESSWATCHER_H

#include <QObject>

class QTimer;

// Tells when a process that is not our child ends, through the event loop and without polling where
// the OS allows it. exited() is emitted once, also when the process was already gone when watching
// began. One file per platform:
//   Linux    a pidfd (pidfd_open(2)), readable when the process exits; before Linux 5.3, kill(pid, 0)
//            every 250 ms, counting a zombie as ended
//   Windows  the process handle (SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION), signalled when
//            the process ends; a process that cannot be opened is polled (its pid still listed)
//            every 250 ms
class ProcessWatcher : public QObject
{
    Q_OBJECT

public:
    explicit ProcessWatcher(qint64 pid, QObject *parent = nullptr);
    ~ProcessWatcher() override;

    qint64 pid() const { return m_pid; }
    // How the process is watched, for the journal: "pidfd", "poll" or "handle".
    QString method() const;
    // What keeps answering how the process ended (readProcessEnd): the pidfd on Linux, the process
    // handle on Windows; -1 when there is none (watched by polling, or the process was not opened).
    qintptr endHandle() const;

signals:
    void exited(qint64 pid);

private slots:
    void onEnded(); // the OS's notifier fired: the pidfd became readable, the handle signalled
    void onPoll();
    void reportExit();

private:
    qint64 m_pid;
    qintptr m_handle = -1;           // the pidfd, or the process HANDLE
    QObject *m_notifier = nullptr;   // a QSocketNotifier on the pidfd, a QWinEventNotifier on the handle
    QTimer *m_poll = nullptr;
    bool m_reported = false;

    // Where the OS gives no notifier: asks hasEnded() now and every 250 ms.
    void startPolling();
    static bool hasEnded(qint64 pid);

    Q_DISABLE_COPY(ProcessWatcher)
};

#endif // KIVCRASHHANDLER_PROCESSWATCHER_H
