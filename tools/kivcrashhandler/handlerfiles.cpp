// CrashHandler's files: the folder they go to, the journal an earlier handler of the same host left
// there, the crash report with the application's retention, and the end of a clean session.

#include "crashhandler.h"

#include "delivery/delivery.h"
#include "host/localdumps.h"
#include "storage/dumpfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

// Reads what an earlier handler of this host journaled in the folder, and returns the journal path
// to append to. A journal left by an earlier process with the same pid (or another user's) is moved
// aside under its last-write time, so that this session's journal is only this host's.
QString CrashHandler::prepareJournal()
{
    const QString path = m_files.journalPath();
    m_restore = SessionRestore::fromJournal(path, m_hostProcess.identity(), &m_session);
    // Only when this host's start time is known: an unknown one matches nothing, not even its own lines.
    if (m_restore.otherHost && !m_restore.sameHost && m_hostProcess.startedAt.isValid()) {
        const QFileInfo old(path);
        const QString aside = m_files.journalAsidePath(old.lastModified());
        if (!old.isSymLink() && QFile::rename(path, aside))
            m_restore.notes.append(QStringLiteral("the earlier journal was moved aside to ") + aside);
        m_restore.lastSequence = 0;
    }
    return path; // m_journal is not constructed yet: the constructor sets its next sequence number
}

// The dump folder cannot take the journal or the report: everything goes to the per-user folder
// from now on, and both say why.
void CrashHandler::useFallbackFolder(const QString &reason)
{
    if (!m_files.useFallback(reason))
        return;
    m_journal.open(m_files.journalPath());
    m_context.journalPath = m_journal.path();
    m_journal.append(QStringLiteral("fallbackFolder"), m_files.folder().toJson());
}

void CrashHandler::restoreFromClientInfo()
{
    SessionRestore::fromClientInfo(CrashReport::clientInfoPath(m_context), m_hostProcess.identity(), &m_session, &m_restore);
}

// What the report adds to the session: the application's local-dump settings, the environment,
// where it was written and why there, and what was restored.
QJsonObject CrashHandler::trustFields() const
{
    return QJsonObject {
        {QStringLiteral("localDumps"), LocalDumps::toJson(LocalDumps::ofApp(m_args.appName))},
        {QStringLiteral("environment"), m_hostProcess.environmentJson(m_context.hostGoneAt)},
        {QStringLiteral("storage"), m_files.folder().toJson()},
        {QStringLiteral("restored"), m_restore.toJson()},
    };
}

// The report's name is reserved first; then, under the folder lock, the host's dump is kept under
// that name (or removed), the report written, and retention applied. A report the dump folder cannot
// take goes to the fallback folder; the dump stays where it was placed.
void CrashHandler::writeCrashReport()
{
    Capture::Result capture = captureHostEnd();
    // A minidump goes along with the event (the server re-processes it with the team's symbols), so
    // it is kept, under retention like a full dump, whenever the crash may be delivered.
    const bool keep = LocalDumps::keepsDump(LocalDumps::ofApp(m_args.appName))
            || (capture.dump.format == QLatin1String("minidump") && m_delivery->config().mayDeliver());
    bool dumpPlaced = false;
    const auto placeDump = [&](const QString &stem) {
        if (dumpPlaced)
            return;
        dumpPlaced = true;
        Capture::placeDump(&capture, stem, keep);
        m_context.crash = capture.report;
        QJsonObject fields = capture.journal;
        fields.insert(QStringLiteral("pid"), double(m_args.hostPid));
        m_journal.append(QStringLiteral("hostEnd"), fields);
    };
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DumpFolder::Reservation reservation = m_files.reserveReport(m_context.hostGoneAt);
        DumpFolder::Placement placement;
        if (reservation.error.isEmpty()) {
            placement = m_files.placeReport(reservation, [&] {
                placeDump(reservation.dumpStem);
                return reportBytes(m_context);
            }, m_policy.dumpCount);
        } else {
            placeDump(m_files.path() + QLatin1Char('/') + DumpFolder::reportName(m_args, m_context.hostGoneAt).chopped(5));
            placement.error = reservation.error;
        }
        if (placement.error.isEmpty()) {
            m_journal.append(QStringLiteral("crashReport"), {{QStringLiteral("path"), placement.path}});
            m_delivery->reportWritten(placement.path);
            askUser(placement.path, m_args.appName);
            if (!placement.removed.isEmpty())
                m_journal.append(QStringLiteral("retention"), {
                    {QStringLiteral("dumpCount"), m_policy.dumpCount},
                    {QStringLiteral("removed"), QJsonArray::fromStringList(placement.removed)},
                });
            return;
        }
        m_journal.append(QStringLiteral("crashReportFailed"), {{QStringLiteral("folder"), m_files.path()}, {QStringLiteral("error"), placement.error}});
        if (m_files.isFallback())
            return;
        useFallbackFolder(QStringLiteral("report: ") + placement.error);
    }
}

QByteArray CrashHandler::reportBytes(const CrashReport::Context &context, const QJsonObject &members) const
{
    QJsonObject report = CrashReport::build(context, m_session);
    for (const QJsonObject &more : {trustFields(), members}) {
        for (auto it = more.begin(); it != more.end(); ++it)
            report.insert(it.key(), it.value());
    }
    return CrashReport::toBytes(report);
}

// A registered sub-process that crashed while its host ran gets a report of its own, named after
// its kept dump, so that nothing is lost when the host then ends cleanly (its journal goes), and
// the crash is delivered as the host's own would be. Retention counts it as a crash of the app.
void CrashHandler::writeSubProcessReport(const QString &dumpStem, qint64 pid, const QString &appName, const QJsonObject &end)
{
    CrashReport::Context context = m_context;
    context.crash = end;
    context.summary = end.value(QStringLiteral("summary")).toString();
    const QJsonObject process {{QStringLiteral("appName"), appName}, {QStringLiteral("pid"), double(pid)}};
    DumpFolder::Reservation reservation;
    reservation.path = dumpStem + QLatin1String(".json");
    reservation.dumpStem = dumpStem;
    const DumpFolder::Placement placement = m_files.placeReport(reservation, [&] {
        return reportBytes(context, {{QStringLiteral("subProcess"), process}});
    }, m_policy.dumpCount);
    if (!placement.error.isEmpty()) {
        m_journal.append(QStringLiteral("crashReportFailed"), {{QStringLiteral("folder"), m_files.path()}, {QStringLiteral("error"), placement.error},
                                                               {QStringLiteral("subProcessPid"), double(pid)}});
        return;
    }
    m_journal.append(QStringLiteral("crashReport"), {{QStringLiteral("path"), placement.path}, {QStringLiteral("subProcessPid"), double(pid)}});
    m_delivery->reportWritten(placement.path);
    askUser(placement.path, appName.isEmpty() ? m_args.appName : appName);
}

// A clean session's journal holds user data that nothing needs any more: it goes.
void CrashHandler::endCleanSession()
{
    m_journal.remove();
}
