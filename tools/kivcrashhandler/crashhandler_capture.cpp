// The crash-capture side of CrashHandler: what it does for dumps while a process lives and once it
// has ended. The platform work sits behind capture/.

#include "crashhandler.h"

#include "capture/capture.h"
#include "host/localdumps.h"
#include "host/processwatcher.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>

namespace {

// Thread names and the working folder are read again when messages arrive, at most this often.
constexpr qint64 kFactsRefreshMs = 50;

} // namespace

void CrashHandler::watchForDump(ProcessFacts *facts, qint64 pid)
{
    facts->pid = pid;
    facts->watchedSince = QDateTime::currentDateTimeUtc();
    facts->enableDumps();
    facts->refresh();
    // The host's outcome goes into the journal's "start" line; a sub-process's gets a line of its own.
    if (!facts->dumpsEnabled && pid != m_args.hostPid) {
        m_journal.append(QStringLiteral("coreLimit"), {
            {QStringLiteral("pid"), double(pid)},
            {QStringLiteral("enabled"), false},
            {QStringLiteral("note"), facts->dumpsNote},
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
    // A relative core pattern is resolved against it: a later handler needs it should this one die.
    if (m_hostFacts.workingFolder != m_workingFolderJournaled) {
        m_workingFolderJournaled = m_hostFacts.workingFolder;
        m_journal.append(QStringLiteral("hostWorkingFolder"), {{QStringLiteral("folder"), m_workingFolderJournaled}});
    }
    for (auto it = m_subProcessFacts.begin(); it != m_subProcessFacts.end(); ++it) {
        if (m_subProcessWatchers.contains(it.key()))
            it->refresh();
    }
}

Capture::Result CrashHandler::captureHostEnd()
{
    const ProcessEnd end = readProcessEnd(m_hostWatcher ? m_hostWatcher->endHandle() : -1, Capture::kExitStatusWaitMs);
    Capture::Options options;
    options.appName = m_args.appName;
    options.program = QCoreApplication::applicationFilePath();
    options.scratchFolder = m_files.path();
    const Capture::Result result = Capture::run(m_hostFacts, end, options);
    m_context.crash = result.report;
    m_context.summary = result.summary;
    return result;
}

QJsonObject CrashHandler::captureSubProcessEnd(qint64 pid, ProcessWatcher *watcher, const QString &appName, const QString &dumpStem)
{
    const ProcessEnd end = readProcessEnd(watcher ? watcher->endHandle() : -1, Capture::kExitStatusWaitMs);
    Capture::Options options;
    options.appName = appName.isEmpty() ? QStringLiteral("sub-process %1").arg(pid) : appName;
    options.isHost = false;
    options.program = QCoreApplication::applicationFilePath();
    options.scratchFolder = m_files.path();
    ProcessFacts facts = m_subProcessFacts.take(pid);
    if (facts.pid == 0)
        facts.pid = pid;
    Capture::Result result = Capture::run(facts, end, options);
    Capture::placeDump(&result, dumpStem, LocalDumps::keepsDump(LocalDumps::ofApp(appName)));
    return result.report;
}
