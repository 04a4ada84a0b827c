#ifndef OSTRELSDK_OSTRELSDK_H
#define OSTRELSDK_OSTRELSDK_H

#include <OstrelSDK/ostrelsdk_export.h>

#include <QList>
#include <QString>

/*
 * OstrelSDK: crash-reporting client for Qt 5 applications.
 *
 * The library launches an out-of-process crash handler (KivCrashHandler.exe, from the host's
 * application directory), connects to it over a local socket, and keeps it told who is logged in,
 * which live session and stream node are in use, and which sub-processes the host runs. It also keeps
 * a small "client info" XML file per host process and makes sure the OS writes local crash dumps.
 *
 * Threading: call every function from one thread, the thread that runs the host's Qt event loop
 * (normally the main thread). The first call that reaches the crash manager binds it to that thread;
 * connection attempts, retries and socket notifications are delivered by that thread's event loop.
 *
 * Failure contract, the same for every function: nothing is reported to the host. A failure is
 * written to Qt's message log (while logging is switched on) and the operation is dropped. No
 * function throws, blocks on the crash handler or waits for an answer.
 */

/// One sub-process of the host whose crashes should be caught too.
struct SubProcess_Info
{
    QString appName;       ///< executable file name with extension, e.g. "worker.exe"; the lookup key
    QString subProcessPid; ///< process id as text; filled in by subProcessPid()
    QString role;          ///< free text passed to the crash handler
    QString version;       ///< free text passed to the crash handler
    QString dmpPath;       ///< folder where the OS should write this sub-process's crash dumps
    int dmpType = 2;       ///< wanted dump type (Windows Error Reporting LocalDumps DumpType)
    int dmpCount = 255;    ///< wanted number of dumps kept (LocalDumps DumpCount)
};

namespace Ostrel_SDK {

/// Starts crash reporting. Call once, on the event-loop thread, once the command line has been
/// handled: a run that ends without exitClient() (--help, say) gets a crash report. Records the
/// parameters, checks the local-dump settings of the host (registering them when they differ),
/// launches the crash handler with the host's pid, the dump folder, the application name and the
/// four strings, and connects to it 500 ms later (retrying every 20 s, relaunching it up to 7 times).
/// A later call updates the recorded values but launches nothing. Always returns true.
OSTRELSDK_EXPORT bool StartCrash(const QString &clientName, const QString &handlerParam1,
                                 const QString &handlerParam2, const QString &dumpPath,
                                 int dumpCount, int dumpType, const QString &handlerParam3);

/// Adds a log path of another component to the client info file (";"-separated, no duplicates).
OSTRELSDK_EXPORT void appendClientThirdpartyLogPath(const QString &logPath);

/// Asks the crash handler to check the given exception information. Sent only while connected.
OSTRELSDK_EXPORT void checkExceptionInfos(const QString &info1, const QString &info2);

/// Records that the host entered a live session: written to the client info file, then sent to the
/// crash handler while connected. The second string is not used.
OSTRELSDK_EXPORT void enterLive(const QString &liveId, const QString &unused, bool liveFlag);

/// Tells the crash handler that the host is exiting normally. Destroys nothing.
OSTRELSDK_EXPORT void exitClient();

/// The library's version, "3.3.0".
OSTRELSDK_EXPORT QString getOstrelVersion();

/// Switches the library's own log lines on (the default) or off.
OSTRELSDK_EXPORT void logSwitch(bool on);

/// Records in the client info file that the host left its live session. Nothing is sent.
OSTRELSDK_EXPORT void quitLive();

/// Sets the host's own log path in the client info file.
OSTRELSDK_EXPORT void setClientLogPath(const QString &logPath);

/// Stores the cloud configuration; it is sent to the crash handler after every connection.
OSTRELSDK_EXPORT void setCloudConfig(const QString &config1, const QString &config2);

/// Records the stream node: written to the client info file, then sent while connected.
OSTRELSDK_EXPORT void setStreamNode(const QString &node, const QString &nodeDetail);

/// Records the logged-in user: written to the client info file, then sent to the crash handler once
/// per process (at once if a socket exists, else after the next connection). The second string is
/// not used.
OSTRELSDK_EXPORT void setUserInfo(const QString &userId, const QString &unused);

/// Registers the host's sub-processes. Call before StartCrash for their local-dump settings to be
/// registered too.
OSTRELSDK_EXPORT void subProcessInfo(const QList<SubProcess_Info> &subProcesses);

/// Reports the pid, log file and status of a registered sub-process to the crash handler (sent only
/// while connected; status 1 also carries the current time).
OSTRELSDK_EXPORT void subProcessPid(const QString &appName, const QString &subProcessPid,
                                    const QString &subLogFile, int status);

} // namespace Ostrel_SDK

#endif // OSTRELSDK_OSTRELSDK_H
