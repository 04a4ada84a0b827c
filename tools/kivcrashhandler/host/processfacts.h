#ifndef KIVCRASHHANDLER_HOST_PROCESSFACTS_H
#define KIVCRASHHANDLER_HOST_PROCESSFACTS_H

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QString>

// What the handler learns about a watched process while it still runs, for finding and reading its
// core once it has ended: a core holds no thread names and a relative core pattern is resolved
// against a working folder that is gone with the process.
struct ProcessFacts
{
    qint64 pid = 0;
    QString executable;            // resolved /proc/<pid>/exe, empty when unreadable
    QString workingFolder;         // the last /proc/<pid>/cwd seen
    QMap<qint64, QString> threads; // tid -> name (comm), every thread ever seen
    uint uid = uint(-1);
    QDateTime watchedSince;        // a core older than this is not this process's

    // The soft core limit as the handler left it.
    bool dumpsEnabled = false;  // the soft limit is now above 0
    QString dumpsNote;         // what was done, or why it could not be
    qint64 coreLimit = -1;         // -1 for unlimited

    // Re-reads the working folder and the thread names; a process already gone changes nothing.
    void refresh();
    // Raises the soft RLIMIT_CORE of the process up to its hard limit (prlimit(2)), so that the
    // kernel writes a core when it crashes, and records the outcome. On Windows nothing is raised:
    // it records whether WER local dumps are registered for the executable (dumpsEnabled).
    void enableDumps();

    QJsonObject toJson() const;
    // [{"tid", "name"}] for every thread seen, in tid order.
    QJsonArray threadsSeen() const;
};

#endif // KIVCRASHHANDLER_HOST_PROCESSFACTS_H
