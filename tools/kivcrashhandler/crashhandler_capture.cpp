// The crash-capture side of CrashHandler: what it does for dumps while a process lives and once it
// has ended. The platform work sits behind capture/.

#include "crashhandler.h"

#include "capture/capture.h"
#include "localdumps.h"
#include "processwatcher.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>

namespace {

// Thread names and the working folder are read again when messages arrive, at most this often.
constexpr qint64 kFactsRefreshMs = 50;

// The core is kept beside the report when the application's local dumps ask for full dumps (type
// 2) or none are registered; after a smaller type it is removed once read.
bool keepsDump(const QString &appName)
{
    const int type = localDumpsOf(appName).value(QStringLiteral("type")).toInt(-1);
    return type == 2 || type < 0;
}

QString keptDumpPath(const QString &reportPath)
{
    QString base = reportPath;
    if (base.endsWith(QLatin1String(".json")))
        base.chop(5);
    return base + QLatin1String(".core");
}

} // namespace

void CrashHandler::watchForDump(ProcessFacts *facts, qint64 pid)
{
    facts->pid = pid;
    facts->watchedSince = QDateTime::currentDateTimeUtc();
    facts->raiseCoreLimit();
    facts->refresh();
    // The host's outcome goes into the journal's "start" line; a sub-process's gets a line of its own.
    if (!facts->coreLimitRaised && pid != m_args.hostPid) {
        m_journal.append(QStringLiteral("coreLimit"), {
            {QStringLiteral("pid"), double(pid)},
            {QStringLiteral("enabled"), false},
            {QStringLiteral("note"), facts->coreLimitNote},
        });
    }
}

void CrashHandler::refreshProcessFacts()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (m_hostGone || now - m_factsReadAt < kFactsRefreshMs)
        return;
    m_factsReadAt = now;
    m_hostFacts.refresh();
    for (auto it = m_subProcessFacts.begin(); it != m_subProcessFacts.end(); ++it) {
        if (m_subProcessWatchers.contains(it.key()))
            it->refresh();
    }
}

void CrashHandler::captureHostEnd(const QString &reportPath)
{
    const ProcessEnd end = readProcessEnd(m_hostWatcher ? m_hostWatcher->endHandle() : -1, Capture::kExitStatusWaitMs);
    Capture::Options options;
    options.appName = m_args.appName;
    options.program = QCoreApplication::applicationFilePath();
    options.dumpFolder = m_folder.path;
    options.keptDumpPath = keptDumpPath(reportPath);
    options.keepDump = keepsDump(m_args.appName);
    const Capture::Result result = Capture::run(m_hostFacts, end, options);
    m_context.crash = result.report;
    m_context.summary = result.summary;
    QJsonObject fields = result.journal;
    fields.insert(QStringLiteral("pid"), double(m_args.hostPid));
    m_journal.append(QStringLiteral("hostEnd"), fields);
}

QJsonObject CrashHandler::captureSubProcessEnd(qint64 pid, ProcessWatcher *watcher, const QString &appName)
{
    const ProcessEnd end = readProcessEnd(watcher ? watcher->endHandle() : -1, Capture::kExitStatusWaitMs);
    Capture::Options options;
    options.appName = appName.isEmpty() ? QStringLiteral("sub-process %1").arg(pid) : appName;
    options.isHost = false;
    options.keepDump = keepsDump(appName);
    options.program = QCoreApplication::applicationFilePath();
    options.dumpFolder = m_folder.path;
    options.keptDumpPath = m_folder.path + QLatin1Char('/') + m_args.fileStem()
            + QStringLiteral("-sub-%1-%2.core").arg(pid).arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")));
    ProcessFacts facts = m_subProcessFacts.take(pid);
    if (facts.pid == 0)
        facts.pid = pid;
    return Capture::run(facts, end, options).report;
}
