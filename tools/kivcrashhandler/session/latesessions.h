#ifndef KIVCRASHHANDLER_SESSION_LATESESSIONS_H
#define KIVCRASHHANDLER_SESSION_LATESESSIONS_H

#include "delivery/deliveryconfig.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <functional>

// Sessions whose handler died before its host ended (killed, or the machine's memory ran out): the
// host then ended with nobody watching, and its journal has no end. A handler of the same
// application finishes them after it listens, on a thread of its own, one journal after another:
//   - a journal in the dump folder named for the application (also one moved aside) counts when no
//     line after its last "start" ends the session ("hostEnd", "cleanExit"), its host is gone (no
//     process with that pid, or one started at another time: a reused pid), and no handler that
//     wrote to it since that start still runs (same pid and started before its lines);
//   - two handlers never finish the same journal: a lock file beside it while one does;
//   - the host's dump is looked for where the OS puts it (capture/, with the executable and the
//     working folder the journal recorded), read by the same bounded child, kept or removed by the
//     same rule as a live capture; a dump of another pid is never touched;
//   - the report goes through DumpFolder under the old host's name, with a "late" member
//     {"reason", "finishedBy", "finishedAt", "hostGoneAtFrom"}; the old journal gets its "hostEnd"
//     and "crashReport" lines, which end it;
//   - the consent is that session's own: the delivery configuration its journal recorded.
// Bad input (a journal that cannot be read or has no usable start line, a report that cannot be
// written) is an outcome with the reason; a damaged journal whose host is gone is ended with a
// "lateSkipped" line, so that it is stated once.
class LateSessions : public QObject
{
    Q_OBJECT

public:
    struct Outcome
    {
        QString journal;                // the journal finished or skipped
        qint64 hostPid = 0;
        QString report;                 // the late report; empty when none was written
        QString summary;
        QString reason;                 // why none was written
        DeliveryConfig::Config config;  // what that session's configuration said
        QJsonObject toJson() const;     // for the acting handler's journal
    };
    using OutcomeHook = std::function<void(const Outcome &)>;

    // `folder` is searched for journals of `appName`'s hosts other than `ownJournal`; `program` is
    // this handler (it reads a dump in a child of itself). Outcomes are handed to `hook` on the
    // thread of this object.
    LateSessions(const QString &folder, const QString &appName, const QString &ownJournal, const QString &program,
                 OutcomeHook hook, QObject *parent = nullptr);
    ~LateSessions() override;

    void start();
    bool busy() const { return m_busy; }

signals:
    void idle();

private:
    void finishAll();

    QString m_folder;
    QString m_app;
    QString m_ownJournal;
    QString m_program;
    OutcomeHook m_hook;
    QThreadPool m_thread;
    bool m_busy = false;

    Q_DISABLE_COPY(LateSessions)
};

#endif // KIVCRASHHANDLER_SESSION_LATESESSIONS_H
