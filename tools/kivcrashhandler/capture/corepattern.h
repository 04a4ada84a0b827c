#ifndef KIVCRASHHANDLER_CAPTURE_COREPATTERN_H
#define KIVCRASHHANDLER_CAPTURE_COREPATTERN_H

#include <QRegularExpression>
#include <QString>

// Where the Linux kernel puts a process's core, worked out from /proc/sys/kernel/core_pattern as
// the kernel expands it (core(5)): "%%" "%p" "%P" "%i" "%I" "%u" "%g" "%d" "%s" "%t" "%h" "%e" "%f"
// "%E" "%c" "%C" "%F", an unknown specifier expanding to nothing, core_uses_pid appending ".<pid>"
// when the pattern has no "%p", a relative pattern resolved against the process's working folder,
// and "|program args" handing the core to a collector program instead of a file. Values the handler
// cannot know (the dump time, the dumping thread's id, a signal not yet known) become wildcards in
// the file name; in a folder part they make the pattern unusable. Pure: no I/O.
struct CorePattern
{
    struct Process
    {
        qint64 pid = 0;
        QString executable;    // full path
        QString workingFolder; // absolute
        QString hostname;
        uint uid = 0;
        uint gid = 0;
        int signal = 0;        // 0 when not known
        qint64 coreLimit = -1; // the soft limit in bytes, -1 for unlimited
    };

    bool pipe = false;
    QString collector;            // a pipe pattern's program name (first word, without its folder)
    QString folder;               // a file pattern's folder, absolute
    QRegularExpression fileName;  // the core's file name in that folder (anchored)
    QString error;                // why no location could be worked out; empty when usable

    bool usable() const { return error.isEmpty(); }

    static CorePattern parse(const QString &pattern, bool usesPid, const Process &process);
};

#endif // KIVCRASHHANDLER_CAPTURE_COREPATTERN_H
