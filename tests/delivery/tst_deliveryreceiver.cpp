// The reference handler delivering a real crash of a real host to a real receiver (Spotlight), the
// queue it leaves when the receiver is down, picked up by the next handler of the application, and
// "upload=ask": the user's answer (from a stand-in dialog, and from the real dialog on an X server,
// driven with keys) deciding what reaches the receiver.

#include "handlerdriver.h"
#include "receiver.h"
#include "testfiles.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QScreen>
#include <QTcpServer>

#include <csignal>
#include <QTemporaryDir>
#include <QTest>

namespace {

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// A crash host whose handler is told where to deliver, then crashes.
bool crashWithDelivery(const QString &folder, const QString &dsn, const QByteArray &upload = "on",
                       const QString &program = OSTREL_HANDLER, QProcessEnvironment env = QProcessEnvironment())
{
    CrashHost host({"segv"}, folder + "/work");
    HandlerDriver handler(&host.process, folder + "/dumps", "crash-host",
                          env.isEmpty() ? configIn(folder + "/config") : env, program);
    const bool told = handler.say("cloudConfig@dsn=" + dsn.toUtf8() + ";upload=" + upload + ";release=9.1@team=core")
            && handler.say("ClientLogin@u1@L9@0") && handler.say("StreamNode@n1@detail");
    host.go();
    return told && host.process.waitForFinished(10000) && handler.finished();
}

// A copy of the handler in `folder` with a stand-in KivCrashDialog.exe beside it that answers with
// `answer` at once.
QString handlerWithDialog(const QString &folder, const QByteArray &answer)
{
    const QString handler = folder + "/KivCrashHandler.exe";
    TestFiles::writeAll(folder + "/answer.json", answer);
    TestFiles::writeAll(folder + "/KivCrashDialog.exe", "#!/bin/sh\n# --request <file> --answer <file>\ncp '"
                                                            + folder.toUtf8() + "/answer.json' \"$4\"\n");
    QFile::setPermissions(folder + "/KivCrashDialog.exe", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return QFile::copy(OSTREL_HANDLER, handler) ? handler : QString();
}

// The journal's lines of one event.
QList<QJsonObject> journaled(const QString &dumps, const QString &event)
{
    QList<QJsonObject> lines;
    for (const QString &name : QDir(dumps).entryList({"*.journal.jsonl"}))
        for (const QJsonObject &line : TestFiles::jsonLines(dumps + "/" + name))
            if (line["event"].toString() == event)
                lines.append(line);
    return lines;
}

// Runs `xdotool` with `arguments`; its output, trimmed.
QByteArray xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start("xdotool", arguments);
    process.waitForFinished(30000);
    return process.readAllStandardOutput().trimmed();
}

QString entryState(const QString &dumps)
{
    const QStringList names = QDir(dumps).entryList({"*.delivery"});
    return names.size() == 1 ? TestFiles::jsonObject(dumps + "/" + names.first())["state"].toString()
                             : QString("%1 entries").arg(names.size());
}

// A next handler of the application, told to deliver to `dsn`, for a host that says "ExitClient";
// whether it ended cleanly.
bool nextHandlerRuns(const QString &folder, const QString &dsn)
{
    CrashHost host({"wait"}, folder + "/work");
    HandlerDriver next(&host.process, folder + "/dumps", "crash-host", configIn(folder + "/config"));
    const bool told = next.say("cloudConfig@dsn=" + dsn.toUtf8() + ";upload=on@") && next.say("ExitClient");
    host.process.kill();
    return told && next.finished();
}

} // namespace

class TestDeliveryReceiver : public QObject
{
    Q_OBJECT

private slots:
    void init() { SKIP_IF_CORES_GO_TO_COLLECTOR(); }

    void delivered()
    {
        Receiver receiver;
        if (receiver.port == 0)
            QSKIP(qPrintable(receiver.whyNot));
        QTemporaryDir dir;
        QVERIFY(crashWithDelivery(dir.path(), receiver.dsn()));
        QTRY_COMPARE_WITH_TIMEOUT(receiver.count(), 1, 10000);
        QCOMPARE(entryState(dir.path() + "/dumps"), QString("delivered"));

        const QJsonObject envelope = receiver.envelopes.first();
        const QJsonObject event = envelope["event"].toObject();
        QCOMPARE(event["event_id"].toString(), envelope["event_id"].toString());
        const QJsonArray frames = event["exception"]["values"][0]["stacktrace"]["frames"].toArray();
        const QJsonValue site = frames.at(frames.size() - 1); // the crashing frame comes last; 58: the write in crash_host.cpp
        QCOMPARE(QJsonArray({event["exception"]["values"][0]["type"], site["function"], site["filename"], site["lineno"]}),
                 QJsonArray({"SIGSEGV", "(anonymous namespace)::nullWriteInMain()", "crash_host.cpp", 58}));
        QCOMPARE(QJsonArray({event["user"]["id"], event["tags"]["live_id"], event["tags"]["stream_node"], event["tags"]["client"],
                             event["release"], event["extra"]["config"]["team"]}),
                 QJsonArray({"u1", "L9", "n1", "client", "9.1", "core"}));
        QStringList attachments;
        for (const QJsonValue &item : envelope["items"].toArray())
            if (item["type"].toString() == "attachment")
                attachments.append(item["filename"].toString());
        QCOMPARE(attachments.size(), 1); // the report (the test host writes no logs)
        QVERIFY2(attachments.first().startsWith("crash-host-") && attachments.first().endsWith(".json"), qPrintable(attachments.first()));
    }

    // Receiver down at crash time: the report stays queued, and the next handler of the same
    // application delivers it once the host's configuration allows it; the server gets one event.
    void deliveredByNextHandler()
    {
        QTemporaryDir dir;
        const int port = freePort();
        const QString dsn = QString("http://publickey@127.0.0.1:%1/42").arg(port);
        QVERIFY(crashWithDelivery(dir.path(), dsn));
        QCOMPARE(entryState(dir.path() + "/dumps"), QString("queued"));

        Receiver receiver(port);
        if (receiver.port == 0)
            QSKIP(qPrintable(receiver.whyNot));
        CrashHost host({"wait"}, dir.path() + "/work");
        HandlerDriver handler(&host.process, dir.path() + "/dumps", "crash-host", configIn(dir.path() + "/config"));
        QVERIFY(handler.say("cloudConfig@dsn=" + dsn.toUtf8() + ";upload=on@"));
        QTRY_COMPARE_WITH_TIMEOUT(receiver.count(), 1, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(entryState(dir.path() + "/dumps"), QString("delivered"), 5000);
        QVERIFY(handler.say("ExitClient"));
        host.process.kill();
        QVERIFY(handler.finished());
        QTest::qWait(200);
        QCOMPARE(receiver.count(), 1);
    }

    void asked_data()
    {
        QTest::addColumn<QByteArray>("answer"); // the stand-in dialog's answer; empty: no display
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("reason");
        const QString comment = QString::fromUtf8("I was saving a file \xe2\x80\x94 \xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d \"ok\"");
        const QJsonObject send {{"version", 1}, {"answer", "send"}, {"comment", comment}, {"email", "ada@example.org"}, {"elapsedMs", 1200}};
        QTest::newRow("send") << QJsonDocument(send).toJson() << "delivered" << "";
        QTest::newRow("decline") << QByteArray("{\"version\": 1, \"answer\": \"decline\", \"elapsedMs\": 300}") << "refused" << "";
        QTest::newRow("no display") << QByteArray() << "queued" << "no display: neither DISPLAY nor WAYLAND_DISPLAY is set";
    }

    // upload=ask: "send" delivers the event with the user's comment as its feedback; "decline" and
    // no answer send nothing, then or later (a next handler with upload=on leaves them alone).
    void asked()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, state);
        QFETCH(QString, reason);
        Receiver receiver;
        if (receiver.port == 0)
            QSKIP(qPrintable(receiver.whyNot));
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("bin"));
        const QString handler = handlerWithDialog(dir.path() + "/bin", answer);
        QVERIFY(!handler.isEmpty());
        QProcessEnvironment env = configIn(dir.path() + "/config");
        env.remove("WAYLAND_DISPLAY");
        if (answer.isEmpty())
            env.remove("DISPLAY");
        else
            env.insert("DISPLAY", ":0"); // the stand-in needs none
        const QString dumps = dir.path() + "/dumps";
        QVERIFY(crashWithDelivery(dir.path(), receiver.dsn(), "ask", handler, env));
        QCOMPARE(entryState(dumps), state);

        const QList<QJsonObject> answers = journaled(dumps, "dialogAnswer");
        QCOMPARE(answers.size(), 1);
        QCOMPARE(answers[0]["reason"].toString(), reason);
        const QJsonObject sent = QJsonDocument::fromJson(answer).object();
        QCOMPARE(answers[0]["commentChars"].toInt(), sent["comment"].toString().size());
        if (!sent["comment"].toString().isEmpty()) // the words go to the server only
            QVERIFY(!QDir(dumps).entryList({"*.journal.jsonl"}).isEmpty()
                    && !TestFiles::readAll(dumps + "/" + QDir(dumps).entryList({"*.journal.jsonl"}).first()).contains("saving"));
        if (state == "delivered") {
            QTRY_COMPARE_WITH_TIMEOUT(receiver.count(), 1, 10000);
            const QJsonObject feedback = receiver.envelopes.first()["user_report"].toObject();
            QCOMPARE(feedback["comments"].toString(), sent["comment"].toString());
            QCOMPARE(feedback["email"].toString(), QString("ada@example.org"));
            QCOMPARE(feedback["event_id"].toString(), receiver.envelopes.first()["event_id"].toString());
            return;
        }

        QVERIFY(nextHandlerRuns(dir.path(), receiver.dsn()));
        QTest::qWait(200);
        QCOMPARE(receiver.count(), 0);
        QCOMPARE(entryState(dumps), state);
    }

    // The real dialog on an X server (ctest runs this under xvfb-run): the host crashes with
    // upload=ask, the dialog is driven with keys like a user would (a comment typed, the details
    // opened with Alt+D, Ctrl+Enter), and the event with the comment reaches the receiver. Pictures of the
    // dialog, closed and with its details open, are saved and their paths printed.
    void askedOnScreen()
    {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("needs an X server: run under xvfb-run");
        if (QStandardPaths::findExecutable("xdotool").isEmpty())
            QSKIP("xdotool is not installed (Debian package xdotool)");
        Receiver receiver;
        if (receiver.port == 0)
            QSKIP(qPrintable(receiver.whyNot));
        QTemporaryDir dir;
        CrashHost host({"segv"}, dir.path() + "/work");
        HandlerDriver handler(&host.process, dir.path() + "/dumps", "crash-host", configIn(dir.path() + "/config"));
        QVERIFY(handler.say("cloudConfig@dsn=" + receiver.dsn().toUtf8() + ";upload=ask@"));
        host.go();
        QVERIFY(host.process.waitForFinished(10000));

        // The dialog is the handler's child; its window is found by its pid.
        const auto dialogChild = [&handler]() -> qint64 {
            const QString children = QString("/proc/%1/task/%1/children").arg(handler.process.processId());
            for (const QByteArray &pid : TestFiles::readAll(children).simplified().split(' '))
                if (QFileInfo(QString("/proc/%1/exe").arg(QString(pid))).symLinkTarget().endsWith("/KivCrashDialog.exe"))
                    return pid.toLongLong();
            return 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(dialogChild() > 0, 20000);
        const qint64 dialogPid = dialogChild();
        struct Closer { qint64 pid; ~Closer() { ::kill(pid_t(pid), SIGKILL); } } closer {dialogPid}; // should the test fail
        const QByteArray window = xdotool({"search", "--sync", "--onlyvisible", "--pid", QString::number(dialogPid),
                                           "--name", "crash-host.* quit unexpectedly"}).split('\n').first();
        const QList<QJsonObject> answers = journaled(dir.path() + "/dumps", "dialogAnswer");
        QVERIFY2(!window.isEmpty(), answers.isEmpty() ? "the dialog did not appear"
                                                      : QJsonDocument(answers.first()).toJson().constData());
        const WId id = window.toULongLong();
        const QString shots = OSTREL_SCREENSHOT_DIR;
        QVERIFY(QDir().mkpath(shots));
        QStringList saved;
        const auto shoot = [&](const QString &name) {
            const QString path = shots + "/" + name;
            if (QGuiApplication::primaryScreen()->grabWindow(id).save(path, "PNG"))
                saved.append(path);
        };
        QTRY_VERIFY_WITH_TIMEOUT(!QGuiApplication::primaryScreen()->grabWindow(id).isNull(), 10000);
        xdotool({"windowfocus", "--sync", window});
        xdotool({"type", "--delay", "20", "Clicked Save twice"}); // the comment box has the focus
        shoot("e2e-dialog-collapsed.png");
        const QByteArray closedSize = xdotool({"getwindowgeometry", window});
        xdotool({"key", "alt+d"});
        QTRY_VERIFY_WITH_TIMEOUT(xdotool({"getwindowgeometry", window}) != closedSize, 10000);
        QTest::qWait(300); // the details painted before the picture (nothing is asserted on it)
        shoot("e2e-dialog-details.png");
        xdotool({"key", "ctrl+Return"}); // sends from the comment box, which keeps the focus

        QTRY_COMPARE_WITH_TIMEOUT(receiver.count(), 1, 20000);
        QCOMPARE(receiver.envelopes.first()["user_report"].toObject()["comments"].toString(), QString("Clicked Save twice"));
        QVERIFY(handler.finished());
        QCOMPARE(entryState(dir.path() + "/dumps"), QString("delivered"));
        QCOMPARE(saved.size(), 2);
        for (const QString &path : saved)
            qInfo("screenshot: %s", qPrintable(path));
    }
};

QTEST_MAIN(TestDeliveryReceiver)
#include "tst_deliveryreceiver.moc"
