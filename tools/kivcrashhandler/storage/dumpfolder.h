#ifndef KIVCRASHHANDLER_STORAGE_DUMPFOLDER_H
#define KIVCRASHHANDLER_STORAGE_DUMPFOLDER_H

#include "handlerargs.h"
#include "storage/privatefiles.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <functional>

// The folder the handler writes into, and the only code that names what it writes there. The folder
// is the command line's dump folder, or the per-user fallback when that cannot be used (at start, or
// later when the journal or a report cannot be written). Every file is private (PrivateFiles).
// Layout, with <stem> = "<app>-<pid>" (HandlerArgs::fileStem) and <time> = yyyyMMddTHHmmssZ:
//   <stem>.journal.jsonl                     the session journal of host <pid>
//   <stem>-<yyyyMMddTHHmmsszzzZ>.journal.jsonl an earlier host's journal with the same pid, moved
//                                            aside under its last-write time
//   <stem>-<time>[-<n>].json                 a crash report; -2, -3 ... when the name is taken
//   <report without .json><ext>              the host's dump kept with its report (".core", ".dmp")
//   <stem>-sub-<sub pid>-<time><ext>         a sub-process's kept dump
//   <stem>.watch.lock                        held while another user keeps the server name
//   <journal>.late.lock                      held while a later handler finishes a session whose
//                                            handler died (LateSessions)
//   .folder.lock                             the folder lock's file (Windows; Unix locks the folder)
// Retention (Retention::enforce) removes a report with every "<report without .json>.*" file and,
// with the last report of a pid, that pid's journals.
class DumpFolder
{
public:
    explicit DumpFolder(const HandlerArgs &args);

    const PrivateFiles::Folder &folder() const { return m_folder; }
    QString path() const { return m_folder.path; }
    bool isFallback() const { return m_folder.isFallback(); }
    // Everything goes to the per-user folder from now on, and says why. False when it is in use
    // already (the reason is added to the earlier one).
    bool useFallback(const QString &reason);

    QString journalPath() const;
    QString journalAsidePath(const QDateTime &lastWrite) const;
    // A sub-process's kept dump, without the dump's extension.
    QString subProcessDumpStem(qint64 pid, const QDateTime &when) const;

    // The report's name for a host gone at `when` when it is free: "<stem>-<time>.json".
    static QString reportName(const HandlerArgs &args, const QDateTime &when);
    // "<stem>.watch.lock" in the command line's dump folder.
    static QString watchLockPath(const HandlerArgs &args);
    // "<app>" of "<app>-<pid>": what the reports of one application share.
    static QString appStem(const HandlerArgs &args);
    // A report of the application, the host's or a sub-process's ("<app>-<pid>-sub-<pid>-<time>"):
    // captures the time of its name.
    static QRegularExpression reportPattern(const QString &appStem);
    // The journals of host <pid> (glob patterns): its own and those moved aside.
    static QStringList journalPatterns(const QString &appStem, const QString &pid);
    // Any journal of the application's hosts, its own or moved aside: captures the pid.
    static QRegularExpression journalPattern(const QString &appStem);
    static QString lateLockPath(const QString &journalPath);

    // A report's name, held from its reservation on: the first of reportName(), then -2, -3 ...
    // whose report and files ("<name>.*") are all absent, created empty under the folder lock so
    // that a concurrent handler takes the next one.
    struct Reservation
    {
        QString path;     // the report
        QString dumpStem; // the report's path without ".json": its dump's path without extension
        QString error;    // set when no name could be reserved
    };
    Reservation reserveReport(const QDateTime &hostGoneAt) const;

    struct Placement
    {
        QString path;        // the report written
        QStringList removed; // file names removed by retention
        QString error;       // set when the report could not be written (nothing is removed then)
    };
    // Under the folder lock: `place` puts what belongs to the report beside it (its dump) and gives
    // the report's bytes, which replace the reservation in one step; then the application's oldest
    // reports beyond `dumpCount` go. A report that cannot be written leaves no reservation behind.
    Placement placeReport(const Reservation &reservation, const std::function<QByteArray()> &place, int dumpCount) const;

private:
    HandlerArgs m_args;
    PrivateFiles::Folder m_folder;
};

#endif // KIVCRASHHANDLER_STORAGE_DUMPFOLDER_H
