// Delivery backlog while serving a host: plays the host of a reference crash handler (its own pid),
// with COUNT crash reports of the application already queued in the dump folder for a local
// receiver. Sends a message every 5 ms and times each answer while the handler drains the queue,
// then prints the drain rate (from the journal's "delivered" lines), the slowest answers and the
// handler's peak resident memory.
//   backlogdrain <KivCrashHandler.exe> <dsn> <report.json> [count]

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <cstdio>

namespace {

QByteArray statusField(qint64 pid, const QByteArray &name)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).simplified();
    return "?";
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: backlogdrain <handler> <dsn> <report.json> [count]\n");
        return 2;
    }
    const int count = args.size() > 4 ? args.at(4).toInt() : 100;
    QTemporaryDir work;
    const QString dumps = work.path() + QStringLiteral("/dumps");
    QDir().mkpath(dumps);
    QFile templ(args.at(3));
    templ.open(QIODevice::ReadOnly);
    const QByteArray report = templ.readAll();
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    for (int i = 0; i < count; ++i) {
        const QString stem = QStringLiteral("bench-%1-20261207T120000Z-%2").arg(i + 1).arg(i + 2);
        QFile r(dumps + QLatin1Char('/') + stem + QStringLiteral(".json"));
        r.open(QIODevice::WriteOnly);
        r.write(report);
        const QJsonObject entry {
            {"report", stem + QStringLiteral(".json")}, {"app", "bench"}, {"dsn", args.at(2)}, {"consent", "on"},
            {"eventId", QUuid::createUuid().toString(QUuid::Id128)}, {"state", "queued"}, {"attempts", 0},
            {"createdAt", now}, {"nextAttemptAt", now}, {"config", QJsonObject()},
        };
        QFile e(dumps + QLatin1Char('/') + stem + QStringLiteral(".delivery"));
        e.open(QIODevice::WriteOnly);
        e.write(QJsonDocument(entry).toJson());
    }

    const qint64 pid = QCoreApplication::applicationPid();
    QProcess handler;
    handler.start(args.at(1), {QString::number(pid), dumps, QStringLiteral("bench"), QStringLiteral("client"),
                               QStringLiteral("dsn=%1;upload=on;ratelimit=100000").arg(args.at(2)), QString(), QString()});
    QElapsedTimer clock;
    clock.start();
    QLocalSocket socket;
    const QString server = QDir::tempPath() + QStringLiteral("/Kiv_Crash_Handler_%1").arg(pid);
    while (socket.state() != QLocalSocket::ConnectedState && clock.elapsed() < 10000) {
        socket.connectToServer(server);
        if (!socket.waitForConnected(100))
            QThread::msleep(20);
    }
    if (socket.state() != QLocalSocket::ConnectedState) {
        std::fprintf(stderr, "could not connect to the handler\n");
        return 1;
    }

    const QString journal = dumps + QStringLiteral("/bench-%1.journal.jsonl").arg(pid);
    QList<qint64> answers; // ms per answer
    QElapsedTimer sent;
    bool waiting = false;
    QDateTime first, last;
    int delivered = 0;
    QTimer tick;
    QObject::connect(&socket, &QLocalSocket::readyRead, [&]() {
        const int n = socket.readAll().count('\r');
        if (n > 0 && waiting) {
            answers.append(sent.nsecsElapsed() / 1000); // microseconds
            waiting = false;
        }
    });
    QObject::connect(&tick, &QTimer::timeout, [&]() {
        if (!waiting) {
            socket.write("ExceptionCheck@bench@frame$");
            socket.flush();
            sent.start();
            waiting = true;
        }
        if (answers.size() % 20 == 0) {
            QFile j(journal);
            j.open(QIODevice::ReadOnly);
            delivered = 0;
            for (const QByteArray &line : j.readAll().split('\n')) {
                if (!line.contains("\"event\":\"delivered\""))
                    continue;
                const QDateTime at = QDateTime::fromString(QJsonDocument::fromJson(line).object().value("time").toString(), Qt::ISODateWithMs);
                if (++delivered == 1)
                    first = at;
                last = at;
            }
        }
        if (delivered >= count || clock.elapsed() > 120000)
            app.quit();
    });
    tick.start(5);
    app.exec();

    const QByteArray hwm = statusField(handler.processId(), "VmHWM");
    std::sort(answers.begin(), answers.end());
    const double seconds = first.msecsTo(last) / 1000.0;
    std::printf("delivered %d of %d in %.2f s from the first to the last: %.1f reports/s\n", delivered, count, seconds,
                seconds > 0 ? (delivered - 1) / seconds : 0.0);
    if (!answers.isEmpty())
        std::printf("answers to %lld messages meanwhile: median %.2f ms, 99th percentile %.2f ms, slowest %.2f ms\n",
                    qint64(answers.size()), answers.at(answers.size() / 2) / 1000.0,
                    answers.at(answers.size() * 99 / 100) / 1000.0, answers.last() / 1000.0);
    std::printf("handler peak resident memory (VmHWM): %s\n", hwm.constData());
    socket.write("ExitClient$");
    socket.flush();
    socket.disconnectFromServer();
    handler.waitForFinished(15000);
    return delivered >= count ? 0 : 1;
}
