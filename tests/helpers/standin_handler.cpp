// Stand-in crash handler for the tests. It does nothing unless OSTREL_STANDIN_DIR is set; then, for
// launch <n> (the first free number in that folder), it writes
//   launch-<n>.args      its arguments, each followed by one NUL byte (empty arguments stay visible)
//   received-<n>.bin     every byte it receives, from every connection, appended as it arrives
// and behaves as OSTREL_STANDIN_MODE says:
//   listen (default)     serve "Kiv_Crash_Handler_" + argv[1] at once
//   never                never listen; exit after a few seconds
//   reply:<bytes>        write <bytes> back, unchanged, on each new connection
// It exits when the host (argv[1]) is gone, and after 60 s in any case.

#include <QCoreApplication>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include "hostalive.h"

class StandIn : public QObject
{
    Q_OBJECT

public:
    StandIn(const QByteArray &host, const QByteArray &mode, const QString &receivedPath)
        : m_host(host.toLongLong()), m_mode(mode), m_receivedPath(receivedPath)
    {
        connect(&m_watch, SIGNAL(timeout()), this, SLOT(onWatch()));
        connect(&m_server, SIGNAL(newConnection()), this, SLOT(onNewConnection()));
        m_watch.start(100);
        if (mode != "never") {
            const QString name = QStringLiteral("Kiv_Crash_Handler_") + QString::fromLatin1(host);
            QLocalServer::removeServer(name); // take over from an earlier launch
            m_server.listen(name);
        }
    }

private slots:
    void onWatch()
    {
        if (!hostAlive(m_host))
            QCoreApplication::exit(0);
    }

    void onNewConnection()
    {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, SIGNAL(readyRead()), this, SLOT(onReadyRead()));
            connect(socket, SIGNAL(disconnected()), socket, SLOT(deleteLater()));
            if (m_mode.startsWith("reply:"))
                socket->write(m_mode.mid(6));
        }
    }

    void onReadyRead()
    {
        QFile out(m_receivedPath);
        if (out.open(QIODevice::WriteOnly | QIODevice::Append))
            out.write(qobject_cast<QLocalSocket *>(sender())->readAll());
    }

private:
    const qint64 m_host;
    const QByteArray m_mode;
    const QString m_receivedPath;
    QTimer m_watch;
    QLocalServer m_server;
};

int main(int argc, char *argv[])
{
    const QString dir = QString::fromLocal8Bit(qgetenv("OSTREL_STANDIN_DIR"));
    if (dir.isEmpty() || argc < 2)
        return 0;
    QCoreApplication app(argc, argv);

    // One record per launch: claim the first free number atomically (launches may overlap).
    QFile record;
    int n = 0;
    do {
        if (++n > 1000)
            return 1;
        record.setFileName(dir + QStringLiteral("/launch-%1.args").arg(n));
    } while (!record.open(QIODevice::WriteOnly | QIODevice::NewOnly));
    for (int i = 1; i < argc; ++i)
        record.write(argv[i], qstrlen(argv[i]) + 1);
    record.close();

    const QByteArray mode = qgetenv("OSTREL_STANDIN_MODE");
    StandIn standIn(argv[1], mode, dir + QStringLiteral("/received-%1.bin").arg(n));
    QTimer::singleShot(mode == "never" ? 3000 : 60000, &app, SLOT(quit()));
    return app.exec();
}

#include "standin_handler.moc"
