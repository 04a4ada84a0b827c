#ifndef OSTREL_TESTS_RECEIVER_H
#define OSTREL_TESTS_RECEIVER_H

// The real crash-server receiver (Spotlight, pinned in receiver/package.json, installed by
// `npm ci` from the test scripts) on 127.0.0.1 and a free port, and what it parsed: one JSON
// object per envelope, {"event_id", "items": [item headers], "event", "user_report"}.

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

struct Receiver
{
    QProcess process;
    int port = 0;
    QString whyNot; // set when no receiver could be started
    QList<QJsonObject> envelopes;

    explicit Receiver(int wantedPort = 0)
    {
        const QString dir = QStringLiteral(OSTREL_RECEIVER_DIR);
        const QString node = QStandardPaths::findExecutable(QStringLiteral("node"));
        if (node.isEmpty()) {
            whyNot = QStringLiteral("Node.js is not installed");
            return;
        }
        if (!QFileInfo::exists(dir + QStringLiteral("/node_modules/@spotlightjs/spotlight/package.json"))) {
            whyNot = QStringLiteral("the receiver is not installed (npm ci in %1)").arg(dir);
            return;
        }
        process.setWorkingDirectory(dir);
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(node, {QStringLiteral("receiver.mjs"), QString::number(wantedPort)});
        QByteArray line;
        while (process.waitForReadyRead(30000)) {
            line = process.readLine();
            if (!line.isEmpty())
                break;
        }
        if (line.startsWith("listening "))
            port = line.mid(10).trimmed().toInt();
        else
            whyNot = QStringLiteral("the receiver did not start: ") + QString::fromUtf8(line + process.readAllStandardError());
    }
    ~Receiver()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }
    QString dsn() const { return QStringLiteral("http://publickey@127.0.0.1:%1/42").arg(port); }
    // Reads what has arrived so far.
    int count()
    {
        pending += process.readAllStandardOutput();
        for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QByteArray line = pending.left(end).trimmed();
            pending.remove(0, end + 1);
            if (!line.isEmpty())
                envelopes.append(QJsonDocument::fromJson(line).object());
        }
        return envelopes.size();
    }
    QByteArray pending;
};

#endif
