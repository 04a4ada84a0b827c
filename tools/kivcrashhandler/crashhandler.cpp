#include "crashhandler.h"

#include "host/processwatcher.h"
#include "protocol/serverguard.h"
#include "wire.h"
#include "delivery/delivery.h"
#include "session/latesessions.h"
#include "dialoglauncher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

CrashHandler::CrashHandler(const HandlerArgs &args, QLocalServer *server, const HostProcess &host, QObject *parent)
    : QObject(parent)
    , m_args(args)
    , m_server(server)
    , m_files(args)
    , m_hostProcess(host)
    , m_policy(Retention::readPolicy(args.appName))
    , m_journal(prepareJournal())
    , m_drainTimer(new QTimer(this))
    , m_delivery(new Delivery(m_files.path(), args.appName,
                              [this](const QString &event, const QJsonObject &fields) { m_journal.append(event, fields); }, this))
{
    m_delivery->setHandlerParameters({args.handlerParam1, args.handlerParam2, args.handlerParam3});
    // An earlier handler of this host was told where and whether to deliver: that holds until the
    // host says it again after connecting.
    if (!m_session.cloudConfigText().isEmpty())
        m_delivery->setCloudConfig(m_session.cloudConfigText());
    m_journal.setNextSequence(m_restore.lastSequence + 1);
    if (!m_journal.isOpen())
        useFallbackFolder(QStringLiteral("journal: ") + m_journal.error());
    m_context.args = args;
    m_context.homePath = QDir::homePath();
    m_context.journalPath = m_journal.path();
    m_context.startedAt = QDateTime::currentDateTimeUtc();
    // Resolved now, while the host still runs: it locates the library's fallback data folder.
    m_context.hostExecutable = m_hostProcess.executablePath();
    if (m_restore.source.isEmpty())
        restoreFromClientInfo();

    m_drainTimer->setSingleShot(true);
    m_drainTimer->setInterval(kDrainMs);
}

void CrashHandler::start(const ListenTimes &listenTimes)
{
    m_serverInode = serverInstanceId(m_server->fullServerName());
    bool ok = connect(m_server, SIGNAL(newConnection()), this, SLOT(onNewConnection()))
            && connect(m_drainTimer, SIGNAL(timeout()), this, SLOT(finish()))
            && connect(m_delivery, SIGNAL(done()), QCoreApplication::instance(), SLOT(quit()));

    m_hostWatcher = new ProcessWatcher(m_args.hostPid, this);
    ok = ok && connect(m_hostWatcher, SIGNAL(exited(qint64)), this, SLOT(onHostExited()));
    Q_ASSERT(ok);
    Q_UNUSED(ok);

    m_hostFacts.executable = m_hostProcess.executable; // learned once, while the host surely ran
    watchForDump(&m_hostFacts, m_args.hostPid);
    const HostIdentity identity = m_hostProcess.identity();
    QJsonObject line {
        {QStringLiteral("arguments"), QJsonArray::fromStringList(m_args.raw)},
        {QStringLiteral("server"), m_server->fullServerName()},
        {QStringLiteral("hostExecutable"), m_context.hostExecutable},
        {QStringLiteral("hostWatch"), m_hostWatcher->method()},
        {QStringLiteral("hostPid"), double(identity.pid)},
        {QStringLiteral("hostStartedAt"), identity.startedAt},
        {QStringLiteral("uid"), identity.uid},
        {QStringLiteral("handlerVersion"), handlerVersion()},
        {QStringLiteral("storage"), m_files.folder().toJson()},
        {QStringLiteral("dumpCount"), m_policy.dumpCount},
        {QStringLiteral("dumpType"), m_policy.dumpType},
        {QStringLiteral("coreLimit"), m_hostFacts.dumpsNote},
        {QStringLiteral("workingFolder"), m_hostFacts.workingFolder},
    };
    m_workingFolderJournaled = m_hostFacts.workingFolder;
    if (listenTimes.sinceProcessCreated >= 0)
        line.insert(QStringLiteral("listeningMs"), double(listenTimes.sinceProcessCreated));
    if (listenTimes.sinceMain >= 0)
        line.insert(QStringLiteral("mainToListenMs"), double(listenTimes.sinceMain));
    m_journal.append(QStringLiteral("start"), line);
    if (!m_restore.source.isEmpty() || !m_restore.notes.isEmpty())
        m_journal.append(QStringLiteral("restored"), m_restore.toJson());
    m_delivery->start();
    syncSubProcessWatchers(); // restored sub-processes that still run are watched again
    // A host quick enough to connect while the server was still being set up: on Windows
    // QLocalServer::listen() itself takes such a connection and announces it before the signal
    // above was connected.
    onNewConnection();

    // Sessions of this application whose handler died before their host ended are finished now,
    // on a thread of their own, after listening.
    m_late = new LateSessions(m_files.path(), m_args.appName, m_journal.path(), QCoreApplication::applicationFilePath(),
                              [this](const LateSessions::Outcome &outcome) {
                                  m_journal.append(outcome.report.isEmpty() ? QStringLiteral("lateSessionSkipped")
                                                                            : QStringLiteral("lateReport"), outcome.toJson());
                                  if (!outcome.report.isEmpty())
                                      m_delivery->reportWritten(outcome.report, outcome.config);
                              }, this);
    m_late->start();
}

void CrashHandler::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        if (refuseClient(socket))
            continue;
        Connection connection;
        connection.id = ++m_connectionCount;
        m_connections.insert(socket, connection);
        const bool ok = connect(socket, SIGNAL(readyRead()), this, SLOT(onReadyRead()))
                && connect(socket, SIGNAL(disconnected()), this, SLOT(onDisconnected()));
        Q_ASSERT(ok);
        Q_UNUSED(ok);
        m_journal.append(QStringLiteral("connection"), {{QStringLiteral("connection"), connection.id}});
        readFrom(socket); // bytes may have come with the connection
    }
}

void CrashHandler::onReadyRead()
{
    if (auto *socket = qobject_cast<QLocalSocket *>(sender()))
        readFrom(socket);
}

void CrashHandler::readFrom(QLocalSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    const int id = it->id;
    refreshProcessFacts();
    const QList<FrameReader::Frame> frames = it->reader.feed(socket->readAll());
    for (const FrameReader::Frame &frame : frames)
        handleFrame(socket, id, frame);
}

void CrashHandler::handleFrame(QLocalSocket *socket, int connection, const FrameReader::Frame &frame)
{
    if (frame.oversize) {
        m_session.noteOversizeFrame();
        m_journal.append(QStringLiteral("droppedFrame"), {
            {QStringLiteral("connection"), connection},
            {QStringLiteral("bytes"), double(frame.size)},
            {QStringLiteral("reason"), QStringLiteral("longer than %1 bytes").arg(FrameReader::kMaxFrameSize)},
        });
        socket->write(QByteArray("dropped oversize frame") + Wire::kOutputLineSeparator);
        return;
    }

    const HandlerMessage message = HandlerMessage::parse(frame.body);
    m_session.apply(message);

    QJsonObject entry {
        {QStringLiteral("connection"), connection},
        {QStringLiteral("command"), message.command},
        {QStringLiteral("text"), message.text},
        {QStringLiteral("bytes"), message.size},
    };
    if (message.kind == HandlerMessage::Unknown)
        entry.insert(QStringLiteral("unknown"), true);
    if (!message.validUtf8)
        entry.insert(QStringLiteral("invalidUtf8"), true);
    if (message.isMalformed())
        entry.insert(QStringLiteral("error"), message.error);
    m_journal.append(QStringLiteral("message"), entry);

    socket->write(message.reply() + Wire::kOutputLineSeparator);

    if (message.kind == HandlerMessage::SubProcessInfo)
        syncSubProcessWatchers();
    else if (message.kind == HandlerMessage::CloudConfig)
        m_delivery->setCloudConfig(m_session.cloudConfigText());
}

// One watcher per registered sub-process pid that still runs; a pid replaced by a newer report is
// no longer watched.
void CrashHandler::syncSubProcessWatchers()
{
    const QList<qint64> running = m_session.runningSubProcessPids();
    for (auto it = m_subProcessWatchers.begin(); it != m_subProcessWatchers.end();) {
        if (running.contains(it.key())) {
            ++it;
        } else {
            it.value()->deleteLater();
            m_subProcessFacts.remove(it.key());
            it = m_subProcessWatchers.erase(it);
        }
    }
    for (qint64 pid : running) {
        if (m_subProcessWatchers.contains(pid) || pid == m_args.hostPid)
            continue;
        auto *watcher = new ProcessWatcher(pid, this);
        const bool ok = connect(watcher, SIGNAL(exited(qint64)), this, SLOT(onSubProcessExited(qint64)));
        Q_ASSERT(ok);
        Q_UNUSED(ok);
        m_subProcessWatchers.insert(pid, watcher);
        watchForDump(&m_subProcessFacts[pid], pid);
    }
}

// A sub-process that ends because its host ended (its stdin pipe closing, a parent-death signal)
// may be reported before the host itself: its end counts as its own only when the host is still
// there kSubProcessGraceMs later. Its watcher stays until then, so that a message arriving meanwhile
// does not start a second watcher (and a second record) for the same pid.
void CrashHandler::onSubProcessExited(qint64 pid)
{
    if (m_hostGone)
        return;
    m_pendingSubProcessExits.append(qMakePair(pid, QDateTime::currentDateTimeUtc()));
    QTimer::singleShot(kSubProcessGraceMs, this, SLOT(confirmSubProcessExit()));
}

void CrashHandler::confirmSubProcessExit()
{
    if (m_pendingSubProcessExits.isEmpty() || m_hostGone)
        return;
    const QPair<qint64, QDateTime> exit = m_pendingSubProcessExits.takeFirst();
    ProcessWatcher *watcher = m_subProcessWatchers.take(exit.first);
    const QString appName = m_session.noteSubProcessExit(exit.first, exit.second);
    const QString dumpStem = m_files.subProcessDumpStem(exit.first, exit.second);
    const QJsonObject end = captureSubProcessEnd(exit.first, watcher, appName, dumpStem);
    m_session.noteSubProcessEnd(exit.first, end);
    if (watcher)
        watcher->deleteLater();
    m_journal.append(QStringLiteral("subProcessExited"), {
        {QStringLiteral("appName"), appName},
        {QStringLiteral("pid"), double(exit.first)},
        {QStringLiteral("exitedAt"), exit.second.toString(Qt::ISODateWithMs)},
        {QStringLiteral("kind"), end.value(QStringLiteral("kind"))},
        {QStringLiteral("summary"), end.value(QStringLiteral("summary"))},
    });
    // The host hears of it too, as one more output line (the library logs it).
    const QByteArray line = "subProcessExited " + QByteArray::number(exit.first) + Wire::kOutputLineSeparator;
    for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it)
        it.key()->write(line);
    if (end.value(QStringLiteral("kind")).toString() == QLatin1String("crashed"))
        writeSubProcessReport(dumpStem, exit.first, appName, end);
}

void CrashHandler::onDisconnected()
{
    auto *socket = qobject_cast<QLocalSocket *>(sender());
    if (!socket || !m_connections.contains(socket))
        return;
    readFrom(socket);
    const Connection connection = m_connections.take(socket);
    QJsonObject entry {{QStringLiteral("connection"), connection.id}};
    if (connection.reader.pendingBytes() > 0)
        entry.insert(QStringLiteral("unfinishedFrameBytes"), double(connection.reader.pendingBytes()));
    m_journal.append(QStringLiteral("disconnection"), entry);
    socket->deleteLater();

    if (m_hostGone && m_connections.isEmpty())
        finish();
}

// The host has ended; its end of each connection closes with it, so every byte it wrote arrives
// before the disconnect. Wait for that (bounded), then finish.
void CrashHandler::onHostExited()
{
    m_hostGone = true;
    m_context.hostGoneAt = QDateTime::currentDateTimeUtc();
    m_journal.append(QStringLiteral("hostExited"), {{QStringLiteral("pid"), double(m_args.hostPid)}});
    if (m_connections.isEmpty())
        QTimer::singleShot(0, this, SLOT(finish()));
    else
        m_drainTimer->start();
}

bool CrashHandler::serverTakenOver() const
{
    const quint64 now = serverInstanceId(m_server->fullServerName());
    return now != 0 && now != m_serverInode;
}

void CrashHandler::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_drainTimer->stop();

    if (serverTakenOver()) {
        // A handler started later for the same host serves the name now and reports in our place.
        m_superseded = true;
        m_journal.append(QStringLiteral("superseded"));
    } else if (m_session.exitClientReceived()) {
        m_journal.append(QStringLiteral("cleanExit"), {{QStringLiteral("messages"), m_session.messageCount()}, {QStringLiteral("kind"), QStringLiteral("clean")}});
        endCleanSession();
    } else {
        writeCrashReport();
    }
    // Quits once what is due has been sent, and the late sessions are written and queued.
    if (m_late && m_late->busy()) {
        const bool ok = connect(m_late, SIGNAL(idle()), this, SLOT(finishDelivery()));
        Q_ASSERT(ok);
        Q_UNUSED(ok);
    } else {
        finishDelivery();
    }
}

void CrashHandler::finishDelivery()
{
    // While the user is being asked, only after the answer (the dialog's time-out bounds that).
    if (m_dialog && m_dialog->isAsking())
        return;
    m_delivery->finish();
}

// Who may talk to this handler, and who holds its name (see serverguard.h).

bool CrashHandler::refuseClient(QLocalSocket *socket)
{
    const QJsonObject refusal = clientRefusal(socket, m_args.hostPid);
    if (refusal.isEmpty())
        return false;
    m_journal.append(QStringLiteral("refusedClient"), refusal);
    socket->abort(); // not a byte read from it or written to it
    socket->deleteLater();
    return true;
}

void CrashHandler::setNameWatch(NameWatch *watch)
{
    m_context.nameSquatted = watch->description();
    m_journal.append(QStringLiteral("nameSquatted"), m_context.nameSquatted);
    const bool ok = connect(watch, SIGNAL(reclaimed()), this, SLOT(onNameReclaimed()))
            && connect(watch, SIGNAL(superseded()), this, SLOT(onNameSuperseded()));
    Q_ASSERT(ok);
    Q_UNUSED(ok);
}

void CrashHandler::onNameReclaimed()
{
    m_serverInode = serverInstanceId(m_server->fullServerName());
    m_context.nameSquatted.insert(QStringLiteral("reclaimedAt"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    m_journal.append(QStringLiteral("nameReclaimed"), {{QStringLiteral("server"), m_server->fullServerName()}});
}

// A handler of this user serves the name now and hears the host's session: it reports, not this one.
void CrashHandler::onNameSuperseded()
{
    if (m_finished)
        return;
    m_finished = true;
    m_journal.append(QStringLiteral("superseded"));
    QCoreApplication::quit();
}
