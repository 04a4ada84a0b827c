// A stand-in host for the reference crash handler: no library, just the handler's side of the
// protocol as the library speaks it. It connects to "Kiv_Crash_Handler_<own pid>" (trying every
// 10 ms for up to 60 s, so the handler may be started after it), prints "connected", writes the
// connect-time frames (an empty cloud configuration, then "ClientLogin@u1@L1@0") and, when its
// argument is "exitclient", "ExitClient"; waits for the handler's answer line to each frame, prints
// "answered <lines>" and exits with status 0 (3 when it never connected, 4 when answers are missing).

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QThread>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bool exitClient = app.arguments().value(1) == QLatin1String("exitclient");
    const QString name = QStringLiteral("Kiv_Crash_Handler_%1").arg(QCoreApplication::applicationPid());

    QLocalSocket socket;
    const QDeadlineTimer connectBy(60000);
    for (;;) {
        socket.connectToServer(name);
        if (socket.waitForConnected(1000))
            break;
        if (connectBy.hasExpired())
            return 3;
        QThread::msleep(10);
    }
    std::printf("connected\n");
    std::fflush(stdout);

    QByteArray frames = QByteArrayLiteral("$ClientLogin@u1@L1@0$");
    if (exitClient)
        frames += QByteArrayLiteral("ExitClient$");
    socket.write(frames);
    socket.flush();
    const int expected = frames.count('$');
    QByteArray answers;
    const QDeadlineTimer answeredBy(30000);
    // Answers may already be buffered (read while writing): take them before waiting for more.
    for (;;) {
        answers += socket.readAll();
        if (answers.count('\r') >= expected || answeredBy.hasExpired() || socket.state() != QLocalSocket::ConnectedState)
            break;
        socket.waitForReadyRead(100);
    }
    std::printf("answered %d\n", int(answers.count('\r')));
    std::fflush(stdout);
    return answers.count('\r') >= expected ? 0 : 4;
}
