#ifndef KIVCRASHHANDLER_HOST_PROCESSEND_H
#define KIVCRASHHANDLER_HOST_PROCESSEND_H

#include <QJsonObject>
#include <QString>

// How a watched process ended, as far as the OS tells a process that is not its parent.
//   crashed  a signal whose default action writes a core (SIGSEGV, SIGABRT, ...), with or without
//            the core actually written; on Windows an exit code that is an exception code
//            (EXCEPTION_ACCESS_VIOLATION, STATUS_STACK_BUFFER_OVERRUN, ...)
//   killed   a signal that ends a process without a core (SIGKILL, SIGTERM, ...); on Windows
//            STATUS_CONTROL_C_EXIT
//   exited   a normal exit with a status (on Windows any other exit code)
//   unknown  the OS did not say (kernel too old, or the parent had not reaped it in time)
// "clean" (the host said "ExitClient") is the session's verdict, not the OS's, and is decided by
// the caller.
struct ProcessEnd
{
    enum Kind { Unknown, Crashed, Killed, Exited };

    Kind kind = Unknown;
    int status = -1;         // the raw wait status as the kernel reports it (-1 when unknown)
    int signal = 0;          // the ending signal, 0 for a normal exit
    int exitCode = -1;       // the exit status of a normal exit
    bool coreDumped = false; // the kernel says it wrote a core
    quint32 exceptionCode = 0; // Windows: the unhandled exception's code the process ended with
    QString unknownReason;   // why the kind is Unknown

    // Classifies a wait status (WIFEXITED/WIFSIGNALED/WCOREDUMP encoding).
    static ProcessEnd fromWaitStatus(int status);
    static QString kindName(Kind kind);
    // "SIGSEGV", or "signal 77" for one without a name.
    static QString signalName(int signal);

    QJsonObject toJson() const;
};

// Reads how the process behind `handle` (ProcessWatcher::endHandle) ended. On Linux the handle is a
// pidfd (PIDFD_GET_INFO with PIDFD_INFO_EXIT, Linux 6.15 and later); the kernel keeps the exit
// status only once the process's parent has reaped it, so this asks again for up to `waitMs`
// milliseconds. On Windows it is the process handle, and the answer is GetExitCodeProcess's. A
// handle of -1 or an OS that does not tell gives Unknown with the reason.
ProcessEnd readProcessEnd(qintptr handle, int waitMs);

#endif // KIVCRASHHANDLER_HOST_PROCESSEND_H
