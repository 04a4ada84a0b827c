// CrashHandler's files: the folder they go to, the journal an earlier handler of the same host left
// there, the crash report with the application's retention, and the end of a clean session.

#include "crashhandler.h"

#include "localdumps.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

QString journalName(const HandlerArgs &args)
{
    return args.fileStem() + QLatin1String(".journal.jsonl");
}

// The application part of the report names ("<app>" of "<app>-<pid>").
QString appStem(const HandlerArgs &args)
{
    const QString stem = args.fileStem();
    return stem.left(stem.lastIndexOf(QLatin1Char('-')));
}

} // namespace

// Reads what an earlier handler of this host journaled in the folder, and returns the journal path
// to append to. A journal left by an earlier process with the same pid (or another user's) is moved
// aside under its last-write time, so that this session's journal is only this host's.
QString CrashHandler::prepareJournal()
{
    const QString path = m_folder.path + QLatin1Char('/') + journalName(m_args);
    m_restore = SessionRestore::fromJournal(path, m_host, &m_session);
    // Only when this host's start time is known: an unknown one matches nothing, not even its own lines.
    if (m_restore.otherHost && !m_restore.sameHost && !m_host.startedAt.isEmpty()) {
        const QFileInfo old(path);
        const QString aside = m_folder.path + QLatin1Char('/') + m_args.fileStem() + QLatin1Char('-')
                + old.lastModified().toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmsszzz'Z'"))
                + QLatin1String(".journal.jsonl");
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
    if (m_folder.isFallback()) {
        m_folder.fallbackReason += QStringLiteral("; ") + reason;
        return;
    }
    PrivateFiles::Folder fallback;
    fallback.wanted = m_folder.wanted;
    fallback.path = PrivateFiles::fallbackFolder();
    fallback.fallbackReason = reason;
    QString error;
    if (!PrivateFiles::ensureFolder(fallback.path, &fallback.created, &fallback.mode, &error))
        fallback.fallbackReason += QStringLiteral("; the fallback folder cannot be used either (%1)").arg(error);
    m_folder = fallback;
    m_journal.open(m_folder.path + QLatin1Char('/') + journalName(m_args));
    m_context.journalPath = m_journal.path();
    m_journal.append(QStringLiteral("fallbackFolder"), m_folder.toJson());
}

void CrashHandler::restoreFromClientInfo()
{
    SessionRestore::fromClientInfo(CrashReport::clientInfoPath(m_context), m_host, &m_session, &m_restore);
}

// What the report adds to the session: the application's local-dump settings, the environment,
// where it was written and why there, and what was restored.
QJsonObject CrashHandler::trustFields() const
{
    return QJsonObject {
        {QStringLiteral("localDumps"), localDumpsOf(m_args.appName)},
        {QStringLiteral("environment"), m_environment.toJson(m_context.hostGoneAt)},
        {QStringLiteral("storage"), m_folder.toJson()},
        {QStringLiteral("restored"), m_restore.toJson()},
    };
}

void CrashHandler::writeCrashReport()
{
    const QString name = CrashReport::fileName(m_args, m_context.hostGoneAt);
    captureHostEnd(m_folder.path + QLatin1Char('/') + name);
    for (int attempt = 0; attempt < 2; ++attempt) {
        QJsonObject report = CrashReport::build(m_context, m_session);
        const QJsonObject extra = trustFields();
        for (auto it = extra.begin(); it != extra.end(); ++it)
            report.insert(it.key(), it.value());
        const Retention::Outcome outcome = Retention::writeReport(m_folder.path, appStem(m_args), name,
                                                                  CrashReport::toBytes(report),
                                                                  m_policy.dumpCount);
        if (outcome.error.isEmpty()) {
            m_journal.append(QStringLiteral("crashReport"), {{QStringLiteral("path"), outcome.path}});
            if (!outcome.removed.isEmpty())
                m_journal.append(QStringLiteral("retention"), {
                    {QStringLiteral("dumpCount"), m_policy.dumpCount},
                    {QStringLiteral("removed"), QJsonArray::fromStringList(outcome.removed)},
                });
            return;
        }
        m_journal.append(QStringLiteral("crashReportFailed"), {{QStringLiteral("folder"), m_folder.path}, {QStringLiteral("error"), outcome.error}});
        if (m_folder.isFallback())
            return;
        useFallbackFolder(QStringLiteral("report: ") + outcome.error);
    }
}

// A clean session's journal holds user data that nothing needs any more: it goes.
void CrashHandler::endCleanSession()
{
    m_journal.remove();
}
