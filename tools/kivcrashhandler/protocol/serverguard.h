#ifndef KIVCRASHHANDLER_SERVERGUARD_H
#define KIVCRASHHANDLER_SERVERGUARD_H

#include "handlerargs.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;
class QLockFile;
class QTimer;

// Who may hold the handler's server name and who may talk to it. The name is predictable
// ("Kiv_Crash_Handler_" + host pid, in the shared temporary folder on Unix), so another local user
// can take it first; the library then refuses that server, and this handler must still cover its
// host.

// The outcome of trying to serve the name.
struct NameClaim
{
    enum Outcome {
        Listening,      // this handler serves the name now
        HeldBySameUser, // a live server of this user answers on it: another handler serves the host
        Squatted,       // another user serves it, or left a file there that cannot be removed
        Failed,         // listening failed for another reason
    };
    Outcome outcome = Failed;
    QString path;   // the server's socket file (Unix), the pipe's path (Windows)
    QString holder; // Squatted: "uid 1001" / "SID S-1-5-..." (the server's user, or the leftover
                    // file's owner), or why the user is unknown
    qint64 holderPid = 0; // Squatted by a live server: its process id where known
    QString reason; // Squatted and Failed: why
};

// A live same-user server is left alone; a stale socket file is removed first. Never removes a
// name a live server of another user answers on: the library refuses that server anyway.
NameClaim claimServerName(QLocalServer *server, const QString &name);

// Per platform (serverguard_unix.cpp, serverguard_win.cpp):
// Where the name lives: the socket file in the temporary folder on Unix, "\\.\pipe\<name>" on Windows.
QString serverPath(const QString &name);
// Why `server` could not listen on a name no server answers on: Squatted when something of another
// user keeps it (a socket file that cannot be removed; a pipe this user may not open), else Failed.
NameClaim unservedName(const QString &name, const QLocalServer *server);
// What identifies the server that holds the name now, so that a handler can tell at its end whether
// a successor took the name over: the socket file's inode on Unix (0 when there is none). A pipe
// name cannot be taken from its live server, so Windows always answers 0.
quint64 serverInstanceId(const QString &fullServerName);

// Whether a connected client may talk to this handler: it must run as this handler's user and, where
// the platform tells the peer's pid, be the host itself. An empty object when it may; otherwise the
// journal fields of the refusal ("user", "pid", "reason").
QJsonObject clientRefusal(QLocalSocket *socket, qint64 hostPid);

// Keeps a host covered while another user holds its server name: one handler per host does so (a
// lock file in the dump folder; a relaunched handler that finds it held leaves quietly), trying to
// take the name again every kRetryMs. reclaimed() when it serves the name, superseded() when a
// handler of this user does.
class NameWatch : public QObject
{
    Q_OBJECT

public:
    static constexpr int kRetryMs = 1000;

    NameWatch(const HandlerArgs &args, QLocalServer *server, const NameClaim &squatted, QObject *parent = nullptr);
    ~NameWatch() override;

    // False when another handler of this user already watches the host this way.
    bool firstWatcher() const { return m_firstWatcher; }
    // For the journal and the report: {"server", "holder", "holderPid", "reason", "since"}.
    QJsonObject description() const { return m_description; }

signals:
    void reclaimed();
    void superseded();

private slots:
    void retry();

private:
    QString m_name;
    QLocalServer *m_server;
    QLockFile *m_lock;
    QTimer *m_timer;
    QJsonObject m_description;
    bool m_firstWatcher = false;

    Q_DISABLE_COPY(NameWatch)
};

#endif // KIVCRASHHANDLER_SERVERGUARD_H
