#ifndef KIVCRASHHANDLER_ENVIRONMENT_H
#define KIVCRASHHANDLER_ENVIRONMENT_H

#include <QDateTime>
#include <QJsonObject>
#include <QStringList>

// What a developer asks for first about a crash, gathered from the system while the host still
// runs (its command line and executable vanish with it), and completed when the report is written.
struct HostEnvironment
{
    qint64 hostPid = 0;
    QStringList commandLine;  // empty when the host was gone or another user's, and on Windows
    QString executable;
    QString executableBuildId; // GNU build id, hex; "" when it has none
    QDateTime hostStartedAt;  // invalid when unknown
    QString osRelease;
    QString kernel;

    // Per platform (environment_linux.cpp, environment_win.cpp). Linux reads /proc; Windows asks
    // the process handle for the executable (another process's command line is not cheaply
    // readable there) and reports the Windows build as "kernel".
    static HostEnvironment capture(qint64 hostPid);

    // {"commandLine", "executable", "executableBuildId", "osRelease", "kernel", "qtRuntime", "handlerVersion",
    //  "hostStartedAt", "hostRanSeconds", "systemUptimeSeconds"}; the last two measured now.
    QJsonObject toJson(const QDateTime &hostGoneAt) const;
};

// Seconds since the system started, or a negative value when unknown. Per platform.
double systemUptimeSeconds();

// The handler's own version: the library version it was built with.
QString handlerVersion();

#endif // KIVCRASHHANDLER_ENVIRONMENT_H
