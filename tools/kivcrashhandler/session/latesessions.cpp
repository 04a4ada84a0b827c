#include "session/latesessions.h"

#include "capture/capture.h"
#include "capture/dumpreader.h"
#include "host/hostprocess.h"
#include "host/localdumps.h"
#include "host/useridentity.h"
#include "processstart.h"
#include "report/crashreport.h"
#include "session/journal.h"
#include "session/session.h"
#include "session/sessionrestore.h"
#include "storage/dumpfolder.h"
#include "storage/privatefiles.h"
#include "storage/retention.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>
#include <QRunnable>

namespace {

constexpr qint64 kMaxJournalRead = 64 * 1024 * 1024;

QDateTime timeOf(const QJsonObject &line)
{
    return QDateTime::fromString(line.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
}

// A process started at `startedAt` (ISO text) with this pid still runs.
bool stillRuns(qint64 pid, const QString &startedAt)
{
    const ProcessStart now = processStart(pid);
    if (now.state != ProcessStart::Running)
        return now.state == ProcessStart::Unknown; // not knowing is not gone
    const QDateTime then = QDateTime::fromString(startedAt, Qt::ISODateWithMs);
    return !then.isValid() || qAbs(now.startMsecs - then.toMSecsSinceEpoch()) <= kProcessStartSlackMs;
}

// What a journal says about its last host, read in one pass.
struct JournalView
{
    QString error;            // unreadable
    QJsonObject firstStart;   // the first "start" line of the last host
    QJsonObject lastStart;
    bool ended = false;       // a line after the last start ends the session
    QString workingFolder;    // the last one recorded
    QStringList cloudConfigs; // the delivery items of each "cloudConfig" message, in order
    QList<QPair<qint64, QDateTime>> handlers; // pid and first line of each handler since the last start
};

JournalView readJournal(const QString &path)
{
    JournalView view;
    QString error;
    const int fd = PrivateFiles::openForReading(path, &error);
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        view.error = QStringLiteral("the journal cannot be read: ") + (error.isEmpty() ? file.errorString() : error);
        return view;
    }
    for (const QByteArray &bytes : file.read(kMaxJournalRead).split('\n')) {
        const QJsonObject line = QJsonDocument::fromJson(bytes).object();
        const QString event = line.value(QStringLiteral("event")).toString();
        if (event == QLatin1String("start")) {
            const bool sameHost = !view.lastStart.isEmpty()
                    && line.value(QStringLiteral("hostPid")) == view.lastStart.value(QStringLiteral("hostPid"))
                    && line.value(QStringLiteral("hostStartedAt")) == view.lastStart.value(QStringLiteral("hostStartedAt"));
            if (!sameHost) {
                view = JournalView();
                view.firstStart = line;
            }
            view.lastStart = line;
            view.ended = false;
            view.handlers.clear();
            view.workingFolder = line.value(QStringLiteral("workingFolder")).toString(view.workingFolder);
        } else if (view.lastStart.isEmpty()) {
            continue;
        } else if (event == QLatin1String("hostEnd") || event == QLatin1String("cleanExit") || event == QLatin1String("lateSkipped")) {
            view.ended = true;
        } else if (event == QLatin1String("hostWorkingFolder")) {
            view.workingFolder = line.value(QStringLiteral("folder")).toString();
        } else if (event == QLatin1String("message")) {
            const HandlerMessage message = HandlerMessage::parse(line.value(QStringLiteral("text")).toString().toUtf8());
            if (message.kind == HandlerMessage::CloudConfig)
                view.cloudConfigs.append(DeliveryConfig::cloudConfigItems(message.text.section(QLatin1Char('@'), 1)));
        }
        const qint64 handler = qint64(line.value(QStringLiteral("handlerPid")).toDouble());
        if (handler > 0 && !view.lastStart.isEmpty()) {
            bool known = false;
            for (const auto &h : qAsConst(view.handlers))
                known |= h.first == handler;
            if (!known)
                view.handlers.append(qMakePair(handler, timeOf(line)));
        }
    }
    if (view.lastStart.isEmpty() && view.error.isEmpty())
        view.error = QStringLiteral("damaged journal: no readable start line");
    return view;
}

// Ends a journal that cannot be finished, so that it is stated once.
void endSkipped(const QString &path, const QString &reason)
{
    Journal journal(path);
    journal.append(QStringLiteral("lateSkipped"), {{QStringLiteral("reason"), reason}});
}

class Finisher
{
public:
    Finisher(const QString &folder, const QString &program)
        : m_folder(folder), m_program(program)
    {
    }

    // False when the journal is not a late session (no outcome then).
    bool finish(const QString &path, qint64 namePid, LateSessions::Outcome *outcome) const;

private:
    QString m_folder;
    QString m_program;
};

bool Finisher::finish(const QString &path, qint64 namePid, LateSessions::Outcome *outcome) const
{
    outcome->journal = path;
    outcome->hostPid = namePid;
    const JournalView view = readJournal(path);
    if (view.ended)
        return false;
    const QJsonObject &start = view.lastStart;
    const QString startedAt = start.value(QStringLiteral("hostStartedAt")).toString();
    if (!view.error.isEmpty() || startedAt.isEmpty()) {
        // A handler that has just created its journal has not written its start yet.
        if (stillRuns(namePid, QString()))
            return false;
        outcome->reason = !view.error.isEmpty() ? view.error : QStringLiteral("damaged journal: the host's start time is unknown");
        if (view.error.startsWith(QLatin1String("damaged")) || view.error.isEmpty())
            endSkipped(path, outcome->reason);
        return true;
    }
    const qint64 hostPid = qint64(start.value(QStringLiteral("hostPid")).toDouble());
    if (hostPid != namePid || stillRuns(hostPid, startedAt))
        return false; // the host lives (the library relaunches its handler), or not this folder's name
    for (const auto &handler : view.handlers) {
        const ProcessStart now = processStart(handler.first);
        if (now.state == ProcessStart::Unknown
            || (now.state == ProcessStart::Running && handler.second.isValid()
                && now.startMsecs <= handler.second.toMSecsSinceEpoch() + kProcessStartSlackMs))
            return false; // its handler is still at work on it
    }

    HandlerArgs args;
    QString error;
    QStringList arguments;
    for (const QJsonValue &v : start.value(QStringLiteral("arguments")).toArray())
        arguments.append(v.toString());
    if (!HandlerArgs::parse(arguments, &args, &error) || args.hostPid != hostPid) {
        outcome->reason = QStringLiteral("damaged journal: the start line's arguments are not its host's (%1)").arg(error);
        endSkipped(path, outcome->reason);
        return true;
    }
    outcome->config = DeliveryConfig::merge({args.handlerParam1, args.handlerParam2, args.handlerParam3}, view.cloudConfigs);

    // What the dead handler knew of its host: enough to find and read the dump.
    ProcessFacts facts;
    facts.pid = hostPid;
    facts.executable = QDir::toNativeSeparators(start.value(QStringLiteral("hostExecutable")).toString());
    facts.workingFolder = view.workingFolder;
    facts.watchedSince = timeOf(view.firstStart);
    if (start.value(QStringLiteral("uid")).isDouble())
        facts.uid = uint(start.value(QStringLiteral("uid")).toDouble());
    facts.dumpsNote = start.value(QStringLiteral("coreLimit")).toString();
    facts.dumpsEnabled = !facts.dumpsNote.startsWith(QLatin1String("cannot"));
    ProcessEnd end;
    end.unknownReason = QStringLiteral("its handler had ended before it, so nobody saw it end");
    Capture::Options options;
    options.appName = args.appName;
    options.program = m_program;
    options.scratchFolder = m_folder;
    Capture::Result capture = Capture::run(facts, end, options);

    const QFileInfo journalFile(path);
    const bool fromDump = !capture.dump.path.isEmpty();
    QDateTime hostGoneAt = fromDump ? QFileInfo(capture.dump.path).lastModified() : journalFile.lastModified();
    hostGoneAt = hostGoneAt.toUTC();

    HostIdentity identity;
    identity.pid = hostPid;
    identity.startedAt = startedAt;
    identity.uid = start.value(QStringLiteral("uid"));
    Session session;
    const SessionRestore::Result restore = SessionRestore::fromJournal(path, identity, &session);

    HostProcess host = HostProcess::learn(QCoreApplication::applicationPid()); // the system's facts
    host.pid = hostPid;
    host.commandLine.clear();
    host.executable = facts.executable;
    host.startedAt = QDateTime::fromString(startedAt, Qt::ISODateWithMs);
    host.user = identity.uid;
    const QFileInfo executable(facts.executable);
    // An executable replaced since the host started is not the one that ran.
    host.executableBuildId = executable.exists() && executable.lastModified() <= host.startedAt
            ? DumpReader::fileBuildId(facts.executable) : QString();

    CrashReport::Context context;
    context.args = args;
    context.hostExecutable = start.value(QStringLiteral("hostExecutable")).toString();
    context.homePath = QDir::homePath();
    context.journalPath = path;
    context.startedAt = timeOf(start);
    context.hostGoneAt = hostGoneAt;
    const QJsonObject late {
        {QStringLiteral("reason"), QStringLiteral("its handler (pid %1) had ended before the host did; a later handler of %2 finished the session")
                                           .arg(view.handlers.isEmpty() ? 0 : view.handlers.last().first).arg(args.appName)},
        {QStringLiteral("finishedBy"), double(QCoreApplication::applicationPid())},
        {QStringLiteral("finishedAt"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("hostGoneAtFrom"), fromDump ? QStringLiteral("the dump's time") : QStringLiteral("the journal's last write")},
    };

    // The files are the old host's, in the folder its journal is in.
    HandlerArgs here = args;
    here.dumpFolder = m_folder;
    const DumpFolder files(here);
    const LocalDumpSettings dumps = LocalDumps::ofApp(args.appName);
    const DumpFolder::Reservation reservation = files.reserveReport(hostGoneAt);
    if (!reservation.error.isEmpty()) {
        outcome->reason = QStringLiteral("the report could not be written: ") + reservation.error;
        return true; // the dump stays where it is: the next start tries again
    }
    Journal old(path);
    const DumpFolder::Placement placement = files.placeReport(reservation, [&] {
        Capture::placeDump(&capture, reservation.dumpStem, LocalDumps::keepsDump(dumps));
        context.crash = capture.report;
        context.summary = capture.summary;
        QJsonObject fields = capture.journal;
        fields.insert(QStringLiteral("pid"), double(hostPid));
        fields.insert(QStringLiteral("late"), late);
        old.setNextSequence(restore.lastSequence + 1);
        old.append(QStringLiteral("hostEnd"), fields);
        QJsonObject report = CrashReport::build(context, session);
        report.insert(QStringLiteral("late"), late);
        report.insert(QStringLiteral("localDumps"), LocalDumps::toJson(dumps));
        report.insert(QStringLiteral("environment"), host.environmentJson(hostGoneAt));
        report.insert(QStringLiteral("storage"), files.folder().toJson());
        report.insert(QStringLiteral("restored"), restore.toJson());
        return CrashReport::toBytes(report);
    }, Retention::readPolicy(args.appName).dumpCount);
    outcome->summary = capture.summary;
    if (!placement.error.isEmpty()) {
        outcome->reason = QStringLiteral("the report could not be written: ") + placement.error;
        return true;
    }
    old.append(QStringLiteral("crashReport"), {{QStringLiteral("path"), placement.path}});
    outcome->report = placement.path;
    return true;
}

} // namespace

QJsonObject LateSessions::Outcome::toJson() const
{
    QJsonObject fields {{QStringLiteral("journal"), journal}, {QStringLiteral("hostPid"), double(hostPid)}};
    if (!report.isEmpty())
        fields.insert(QStringLiteral("report"), report);
    if (!summary.isEmpty())
        fields.insert(QStringLiteral("summary"), summary);
    if (!reason.isEmpty())
        fields.insert(QStringLiteral("reason"), reason);
    return fields;
}

LateSessions::LateSessions(const QString &folder, const QString &appName, const QString &ownJournal, const QString &program,
                           OutcomeHook hook, QObject *parent)
    : QObject(parent)
    , m_folder(folder)
    , m_app(appName)
    , m_ownJournal(QFileInfo(ownJournal).absoluteFilePath())
    , m_program(program)
    , m_hook(std::move(hook))
{
    m_thread.setMaxThreadCount(1);
}

LateSessions::~LateSessions()
{
    m_thread.waitForDone();
}

void LateSessions::start()
{
    if (m_busy)
        return;
    m_busy = true;
    QRunnable *task = QRunnable::create([this] { finishAll(); });
    m_thread.start(task);
}

// On the thread of its own: one journal after another; each outcome is handed over as it comes.
void LateSessions::finishAll()
{
    const auto report = [this](const Outcome &outcome) {
        QMetaObject::invokeMethod(this, [this, outcome] { m_hook(outcome); }, Qt::QueuedConnection);
    };
    HandlerArgs app;
    app.appName = m_app;
    app.hostPid = 1;
    const QRegularExpression pattern = DumpFolder::journalPattern(DumpFolder::appStem(app));
    const QDir dir(m_folder);
    if (!dir.isReadable()) {
        Outcome outcome;
        outcome.journal = m_folder;
        outcome.reason = QStringLiteral("the dump folder cannot be read");
        report(outcome);
    }
    const Finisher finisher(m_folder, m_program);
    for (const QString &name : dir.entryList(QDir::Files | QDir::System | QDir::Hidden, QDir::Name)) {
        const QRegularExpressionMatch match = pattern.match(name);
        const QString path = dir.absoluteFilePath(name);
        if (!match.hasMatch() || path == m_ownJournal)
            continue;
        QLockFile lock(DumpFolder::lateLockPath(path));
        lock.setStaleLockTime(0); // stale only when its holder is gone
        if (!lock.tryLock(0))
            continue; // another handler finishes it
        Outcome outcome;
        if (finisher.finish(path, match.captured(1).toLongLong(), &outcome))
            report(outcome);
    }
    QMetaObject::invokeMethod(this, [this] {
        m_busy = false;
        emit idle();
    }, Qt::QueuedConnection);
}
