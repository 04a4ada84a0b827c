#ifndef KIVCRASHHANDLER_CRASHHANDLER_H
#define KIVCRASHHANDLER_CRASHHANDLER_H

#include "report/crashreport.h"
#include "host/hostprocess.h"
#include "protocol/framereader.h"
#include "handlerargs.h"
#include "session/journal.h"
#include "storage/dumpfolder.h"
#include "storage/retention.h"
#include "session/session.h"
#include "session/sessionrestore.h"
#include "capture/capture.h"
#include "dialogcontract.h"

#include <QHash>
#include <QObject>

class QLocalServer;
class QLocalSocket;
class QTimer;
class Delivery;
class LateSessions;
class DialogLauncher;
class NameWatch;
class ProcessWatcher;

// The handler's run: takes connections on an already listening server, turns the bytes into
// messages (answering each frame with one CR-ended line), keeps the session and the journal, and
// watches the host and its registered sub-processes (a sub-process that ends while the host runs is
// journaled and told to the host as the line "subProcessExited <pid>"). When the host has gone it lets the last bytes
// arrive (at most kDrainMs), then, if "ExitClient" came, removes the session's journal (a clean
// session keeps nothing), or else writes the crash report with the application's retention, and
// quits the application. At start it restores what an earlier handler of the same host was told
// (SessionRestore), and once it listens it finishes, in the background, the application's sessions
// whose handler died before their host ended (LateSessions); its files, and their names, are the
// dump folder's (DumpFolder).
class CrashHandler : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDrainMs = 2000;
    static constexpr int kSubProcessGraceMs = 1000;

    // `host` is learnt before the server name is served (see main.cpp).
    CrashHandler(const HandlerArgs &args, QLocalServer *server, const HostProcess &host, QObject *parent = nullptr);

    // How long the handler took to listen, in ms: since the system created its process, and since
    // main() began; -1 where unknown or when it does not listen (another user holds the name).
    struct ListenTimes
    {
        qint64 sinceProcessCreated = -1;
        qint64 sinceMain = -1;
    };

    void start(const ListenTimes &listenTimes);
    // Runs on without the server name, which another user holds: journals who, says so in the
    // report, and takes the name when the watch gets it (or leaves when a handler of ours has it).
    void setNameWatch(NameWatch *watch);
    // True when another handler took over the server name while this one ran; its socket file
    // must then be left alone.
    bool superseded() const { return m_superseded; }

private slots:
    void onNewConnection();
    void onReadyRead();
    void onDisconnected();
    void onHostExited();
    void onSubProcessExited(qint64 pid);
    void confirmSubProcessExit();
    void finish();
    void onNameReclaimed();
    void onNameSuperseded();
    void finishDelivery();
    void onDialogAnswered(const DialogAnswer &answer);

private:
    struct Connection
    {
        int id = 0;
        FrameReader reader;
    };

    void readFrom(QLocalSocket *socket);
    void handleFrame(QLocalSocket *socket, int connection, const FrameReader::Frame &frame);
    void syncSubProcessWatchers();
    bool serverTakenOver() const;
    // True (and journaled) when the client is not the host running as this handler's user.
    bool refuseClient(QLocalSocket *socket);
    // The dump folder's side: what an earlier handler left, the fallback, the report (handlerfiles.cpp).
    QString prepareJournal();
    void useFallbackFolder(const QString &reason);
    void restoreFromClientInfo();
    QJsonObject trustFields() const;
    void writeCrashReport();
    void writeSubProcessReport(const QString &dumpStem, qint64 pid, const QString &appName, const QJsonObject &end);
    QByteArray reportBytes(const CrashReport::Context &context, const QJsonObject &members = QJsonObject()) const;
    void endCleanSession();
    // Asking the user about a crash report (handlerdialog.cpp).
    void askUser(const QString &reportPath, const QString &whatQuit);
    void restartHost();
    // Crash capture (crashhandler_capture.cpp): dumps enabled and facts learned while a process
    // lives, the dump found and read once it has ended.
    void watchForDump(ProcessFacts *facts, qint64 pid);
    void refreshProcessFacts();
    Capture::Result captureHostEnd();
    QJsonObject captureSubProcessEnd(qint64 pid, ProcessWatcher *watcher, const QString &appName, const QString &dumpStem);

    HandlerArgs m_args;
    QLocalServer *m_server;
    DumpFolder m_files;
    HostProcess m_hostProcess;
    Retention::Policy m_policy;
    Session m_session;
    SessionRestore::Result m_restore;
    Journal m_journal;
    CrashReport::Context m_context;
    ProcessWatcher *m_hostWatcher = nullptr;
    QHash<qint64, ProcessWatcher *> m_subProcessWatchers;
    QList<QPair<qint64, QDateTime>> m_pendingSubProcessExits; // in order of exit, one timer each
    ProcessFacts m_hostFacts;
    QHash<qint64, ProcessFacts> m_subProcessFacts;
    qint64 m_factsReadAt = 0;
    QHash<QLocalSocket *, Connection> m_connections;
    int m_connectionCount = 0;
    QTimer *m_drainTimer;
    Delivery *m_delivery; // crash reports to the team's crash server (delivery/)
    LateSessions *m_late = nullptr; // sessions of the application whose handler died
    QString m_workingFolderJournaled;
    DialogLauncher *m_dialog = nullptr; // made when a report is to be asked about (dialog/)
    QString m_askedReport;
    bool m_askedRestart = false;
    quint64 m_serverInode = 0;
    bool m_hostGone = false;
    QList<QPair<QString, QString>> m_waitingAsks; // reports to ask about once the dialog is free, and what quit
    bool m_finished = false;
    bool m_superseded = false;

    Q_DISABLE_COPY(CrashHandler)
};

#endif // KIVCRASHHANDLER_CRASHHANDLER_H
