// KivCrashHandler.exe, the reference crash handler for Linux.
//
// Launched detached by the library with seven arguments (host pid, dump folder, app name, client
// name, three free parameters). It serves the local server "Kiv_Crash_Handler_<pid>", keeps what the
// host tells it in a journal in the dump folder, watches the host, and when the host ends without
// having said "ExitClient" writes a crash report there. Exit codes: 0 normal end (also when another
// handler already serves the host), 1 cannot listen, 2 bad command line.

#include "crashhandler.h"
#include "handlerargs.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTextStream>

#include <csignal>

namespace {

// A server that accepts a connection is a live handler; a socket file nobody answers on is stale.
bool liveHandlerServes(const QString &name)
{
    QLocalSocket probe;
    probe.connectToServer(name);
    const bool live = probe.waitForConnected(200);
    probe.abort();
    return live;
}

} // namespace

int main(int argc, char *argv[])
{
    // A host that dies mid-write must not take the handler with it.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    HandlerArgs args;
    QString error;
    if (!HandlerArgs::parse(app.arguments().mid(1), &args, &error)) {
        QTextStream(stderr) << HandlerArgs::usage() << " (" << error << ")\n";
        return 2;
    }

    // Listen first, before anything slow: the library's first connection attempt comes 500 ms
    // after the launch.
    const QString name = args.serverName();
    if (liveHandlerServes(name))
        return 0;
    QLocalServer::removeServer(name);
    // Heap-allocated and deleted only by the handler that still owns the name: QLocalServer removes
    // its socket file when it goes, which must not hit a successor's.
    auto *server = new QLocalServer;
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(name)) {
        if (liveHandlerServes(name))
            return 0; // lost a race with a handler started at the same moment
        QTextStream(stderr) << "KivCrashHandler: cannot listen on " << name << ": " << server->errorString() << '\n';
        return 1;
    }

    CrashHandler handler(args, server);
    handler.start();
    const int rc = app.exec();
    if (!handler.superseded())
        delete server;
    return rc;
}
