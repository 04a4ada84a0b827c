// The real KivCrashHandler.exe with a stand-in host (tests/helpers/handler_host.cpp): it serves the
// host's name, takes the connect-time frames, and keeps nothing for a host that said "ExitClient"
// while a host that ended without it gets a report. Prints how long the handler took from its
// start to the host's connection and to listening (measurements, not limits). A wrong command line
// gets the usage line on stderr and exit code 2.

#include "testfiles.h"

#include <QtTest>

class tst_HandlerRun : public QObject
{
    Q_OBJECT

private slots:
    void hostEnd_data()
    {
        QTest::addColumn<bool>("exitClient");
        QTest::newRow("ExitClient said") << true;
        QTest::newRow("ended without ExitClient") << false;
    }

    void hostEnd()
    {
        QFETCH(bool, exitClient);
        QTemporaryDir dir;
        const QString dumps = dir.filePath("dumps");
        QProcess host;
        host.start(OSTREL_HANDLER_HOST, {exitClient ? "exitclient" : "plain"});
        QVERIFY(host.waitForStarted());
        const qint64 pid = host.processId();

        QElapsedTimer sinceStart;
        sinceStart.start();
        QProcess handler;
        handler.start(OSTREL_HANDLER, {QString::number(pid), dumps, "app", "client", "p1", "p2", "p3"});
        QVERIFY(handler.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(host.canReadLine() || host.state() == QProcess::NotRunning, 60000);
        QCOMPARE(host.readLine().trimmed(), QByteArray("connected"));
        qInfo("handler start to host connected: %lld ms", sinceStart.elapsed());

        QVERIFY(host.state() == QProcess::NotRunning || host.waitForFinished(60000));
        const QByteArray answered = host.readAll().trimmed();
        if (host.exitCode() != 0)
            qWarning("journal: %s", TestFiles::readAll(QStringLiteral("%1/app-%2.journal.jsonl").arg(dumps).arg(pid)).constData());
        QCOMPARE(answered, QByteArray("answered ") + QByteArray::number(exitClient ? 3 : 2));
        QCOMPARE(host.exitCode(), 0); // every frame was answered
        QVERIFY(handler.state() == QProcess::NotRunning || handler.waitForFinished(60000));
        QCOMPARE(handler.exitCode(), 0);

        const QStringList reports = QDir(dumps).entryList({"*.json"}, QDir::Files);
        const QString journal = QStringLiteral("app-%1.journal.jsonl").arg(pid);
        if (exitClient) {
            // A clean session keeps nothing: no report, and its journal is removed.
            QCOMPARE(reports, QStringList());
            QVERIFY(!QFile::exists(dumps + '/' + journal));
            return;
        }
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports.first().startsWith(QStringLiteral("app-%1-").arg(pid)), qPrintable(reports.first()));
        const QJsonObject report = TestFiles::jsonObject(dumps + '/' + reports.first());
        QCOMPARE(report["summary"].toString(), QStringLiteral("app exited with status 0 without saying ExitClient"));
        QCOMPARE(report["hostPid"].toDouble(), double(pid));
        QCOMPARE(QJsonArray({report["session"]["login"]["userId"], report["session"]["login"]["liveId"]}), QJsonArray({"u1", "L1"}));

        const QList<QJsonObject> lines = TestFiles::jsonLines(dumps + '/' + journal);
        const QStringList events = TestFiles::pick(lines, "event");
        QCOMPARE(events.mid(0, 4), QStringList({"start", "connection", "message", "message"}));
        const QJsonObject start = lines.value(0);
        QVERIFY(events.contains("disconnection") && events.contains("hostExited") && events.contains("hostEnd"));
        QCOMPARE(start["server"].toString().endsWith(QStringLiteral("Kiv_Crash_Handler_%1").arg(pid)), true);
        QVERIFY2(start["hostWatch"] == "pidfd" || start["hostWatch"] == "handle", qPrintable(start["hostWatch"].toString()));
        QVERIFY(!start["uid"].isNull() && !start["uid"].isUndefined());
        QVERIFY2(start["listeningMs"].toDouble(-1) >= 0 && start["mainToListenMs"].toDouble(-1) >= 0,
                 QJsonDocument(start).toJson().constData());
        qInfo("handler process created to listening: %g ms, main() to listening: %g ms",
              start["listeningMs"].toDouble(), start["mainToListenMs"].toDouble());
    }

    void wrongArgumentCount_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("none") << 0;
        QTest::newRow("six") << 6;
        QTest::newRow("eight") << 8;
    }

    // Nothing is served or written: the usage line and the reason go to stderr, and the exit code is 2.
    void wrongArgumentCount()
    {
        QFETCH(int, count);
        QTemporaryDir dir;
        const QString dumps = dir.filePath("dumps");
        const QStringList all {"4242", dumps, "app", "client", "p1", "p2", "p3", "extra"};
        QProcess handler;
        handler.start(OSTREL_HANDLER, all.mid(0, count));
        QVERIFY(handler.waitForFinished(60000));
        QCOMPARE(handler.exitStatus(), QProcess::NormalExit);
        QCOMPARE(handler.exitCode(), 2);
        QCOMPARE(handler.readAllStandardOutput(), QByteArray());
        QCOMPARE(handler.readAllStandardError().replace("\r\n", "\n"),
                 "usage: KivCrashHandler.exe <host pid> <dump folder> <app name> <client name> <param1> "
                 "<param2> <param3> (expected 7 arguments, got " + QByteArray::number(count) + ")\n");
        QVERIFY(!QFileInfo::exists(dumps));
    }
};

QTEST_GUILESS_MAIN(tst_HandlerRun)
#include "tst_handlerrun.moc"
