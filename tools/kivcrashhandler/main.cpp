// KivCrashHandler.exe, the reference crash handler for Linux and Windows.
//
// Launched detached by the library with seven arguments (host pid, dump folder, app name, client
// name, three free parameters). It serves the local server "Kiv_Crash_Handler_<pid>", keeps what the
// host tells it in a journal in the dump folder, watches the host, and when the host ends without
// having said "ExitClient" writes a crash report there, with what the crash dump (a core on Linux,
// a minidump on Windows) says about the crash. When another user holds the server name it still
// watches the host and reports, saying so. Exit codes: 0 normal end (also when another handler
// already serves the host), 1 cannot listen (said in the journal), 2 bad command line (the only
// case that writes to the standard streams: after the arguments are understood, the streams
// inherited from the host are left alone and everything goes to the journal). Run as
// "--read-dump <dump> <executable>" it is the child that reads one dump for the handler.

#include "capture/dumpreader.h"
#include "processstart.h"
#include "crashhandler.h"
#include "handlerargs.h"
#include "handlerprocess.h"
#include "session/journal.h"
#include "storage/dumpfolder.h"
#include "protocol/serverguard.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QElapsedTimer sinceMain;
    sinceMain.start();
    // A child of the handler that reads one dump and prints what it says (capture/dumpreader.h).
    int analysisExit = 0;
    if (DumpReader::runChild(argc, argv, &analysisExit))
        return analysisExit;

    HandlerProcess::ignoreBrokenPipes();

    QCoreApplication app(argc, argv);
    HandlerArgs args;
    QString error;
    if (!HandlerArgs::parse(app.arguments().mid(1), &args, &error)) {
        QTextStream(stderr) << HandlerArgs::usage() << " (" << error << ")\n";
        return 2;
    }
    HandlerProcess::leaveHostStreams();

    // Who the host is (its start time, its command line) is learnt first, while it surely still
    // runs: it may end the moment the name is served. Then listen, before anything slow: the
    // library's first connection attempt comes 500 ms after the launch.
    const HostProcess host = HostProcess::learn(args.hostPid);
    const QString name = args.serverName();
    // Heap-allocated and deleted only by the handler that still owns the name: QLocalServer removes
    // its socket file when it goes, which must not hit a successor's.
    auto *server = new QLocalServer;
    server->setSocketOptions(QLocalServer::UserAccessOption);
    const NameClaim claim = claimServerName(server, name);
    // How long it took to listen, for the journal's "start" line.
    CrashHandler::ListenTimes listenTimes;
    if (claim.outcome == NameClaim::Listening) {
        listenTimes.sinceMain = sinceMain.elapsed();
        listenTimes.sinceProcessCreated = ownProcessAgeMsecs();
    }
    if (claim.outcome == NameClaim::Failed) {
        Journal(DumpFolder(args).journalPath())
                .append(QStringLiteral("cannotListen"), {{QStringLiteral("server"), name}, {QStringLiteral("error"), claim.reason}});
    }
    // Another user holds the name: the host is watched all the same, by one handler.
    QScopedPointer<NameWatch> watch(claim.outcome == NameClaim::Squatted ? new NameWatch(args, server, claim) : nullptr);
    if (claim.outcome == NameClaim::HeldBySameUser || claim.outcome == NameClaim::Failed
        || (watch && !watch->firstWatcher())) {
        delete server; // not listening: no socket file of anyone's is touched
        return claim.outcome == NameClaim::Failed ? 1 : 0;
    }

    CrashHandler handler(args, server, host);
    handler.start(listenTimes);
    if (watch)
        handler.setNameWatch(watch.data());
    const int rc = app.exec();
    if (!handler.superseded())
        delete server;
    return rc;
}
