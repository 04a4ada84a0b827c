#ifndef KIVCRASHHANDLER_HOST_HOSTPROCESS_H
#define KIVCRASHHANDLER_HOST_HOSTPROCESS_H

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

// Which host process a journal belongs to: its pid, its start time (a reused pid has another) and
// the user it runs as. Written into every "start" line of the journal.
struct HostIdentity
{
    qint64 pid = 0;
    QString startedAt; // UTC ISO 8601 with milliseconds; empty when unknown
    QJsonValue uid; // the user, as currentUserId() gives it: a uid on Unix, a SID text on Windows

    QJsonObject toJson() const; // {"hostPid", "hostStartedAt", "uid"}
    bool matches(const QJsonObject &startLine) const;
};

// The host process, learned once at start while it surely still runs (its command line and
// executable vanish with it): the journal's identity, the report's environment and the first facts
// of its capture all read this instead of asking the system again. What changes while it runs (its
// working folder, its threads) is followed by ProcessFacts.
struct HostProcess
{
    qint64 pid = 0;
    QStringList commandLine;   // empty when the host was gone or another user's
    QString executable;        // as the system gives it (native separators); "" when unknown
    QString executableBuildId; // GNU build id, hex; "" when it has none
    QString workingFolder;     // its working folder when learned, for a restart; "" when unknown
    QDateTime startedAt;       // invalid when unknown
    QJsonValue user;           // this handler's user (currentUserId()), whom the host must run as
    QString osRelease;
    QString kernel;

    // Per platform (hostprocess_linux.cpp, hostprocess_win.cpp). Linux reads /proc; Windows asks
    // the process handle for the executable, reads the command line and working folder from the
    // process's parameters, and reports the Windows build as "kernel".
    static HostProcess learn(qint64 pid);

    HostIdentity identity() const;
    // The executable with "/" separators, as reports and journals give it.
    QString executablePath() const;
    // The report's "environment": {"commandLine", "executable", "executableBuildId", "osRelease",
    // "kernel", "qtRuntime", "handlerVersion", "hostStartedAt", "hostRanSeconds",
    // "systemUptimeSeconds"}; the last two measured now.
    QJsonObject environmentJson(const QDateTime &hostGoneAt) const;
};

// The executable of a running process as the system gives it, "" when unknown. Per platform.
QString processExecutable(qint64 pid);

// Seconds since the system started, or a negative value when unknown. Per platform.
double systemUptimeSeconds();

// The handler's own version: the library version it was built with.
QString handlerVersion();

#endif // KIVCRASHHANDLER_HOST_HOSTPROCESS_H
