// The crash handler supervision end to end, with the short test delays: the launch command line,
// the bytes on the wire, the retry and relaunch budget, and the echo of the handler's output. The
// handler is the recording stand-in or, where the test must decide when a server listens, a
// QLocalServer of the test itself. One CTest entry per function: the library's state is per process.

#include "asordinaryuser.h"
#include "logcapture.h"
#include "standin.h"

#include <OstrelSDK/ostrelsdk.h>

#include <QtNetwork>
#include <QtTest>

namespace {

const int kDeadline = 20000;
using Args = QList<QByteArray>;
const QByteArray kPid = QByteArray::number(QCoreApplication::applicationPid());
const QString kServer = QStringLiteral("Kiv_Crash_Handler_") + QString::fromLatin1(kPid);

// "launch" for each launch and "c r" for each "try connect handler: " line, in log order.
QStringList timeline(const LogCapture &capture)
{
    return capture.lines().filter(QRegularExpression(QStringLiteral("KivCrashHandler Path:|try connect handler:")))
        .replaceInStrings(QRegularExpression(QStringLiteral(".*KivCrashHandler Path:.*")), QStringLiteral("launch"))
        .replaceInStrings(QRegularExpression(QStringLiteral(".*try connect handler: +")), QString());
}

// The timeline of `cycles` launches that each spend all their retries.
QStringList budgetTimeline(int cycles)
{
    QStringList out;
    for (int r = 0; r < cycles; ++r)
        out << QStringLiteral("launch") << QStringLiteral("0 %1,1 %1,2 %1,3 %1,4 %1,5 %1,6 %1").arg(r).split(QLatin1Char(','));
    return out;
}

} // namespace

class tst_CrashManage : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    StandIn::Records m_standIn;

private slots:
    void initTestCase() { TestFiles::usePrivateFolders(m_home.path(), m_home.path()); }

    void launchAndFramesOnOneConnection()
    {
        LogCapture capture;
        m_standIn.use();
        Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
        Ostrel_SDK::enterLive(QStringLiteral("L9"), QString(), true); // recorded, not sent: no socket
        QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("client"), QString(), QStringLiteral("p2"), QStringLiteral("C:/dumps/a\\b"), 10, 2, QString()));
        QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("other"), "x", "y", "/z", 1, 1, "w"));
        QCOMPARE(capture.count(QStringLiteral("] CrashManage::actualStart Actual had started"), QtInfoMsg), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.args(1), Args({kPid, "C:\\dumps\\a\\b", "tst_crashmanage", "client", "", "p2", ""}), kDeadline);

        // Connect-time frames: the empty cloud configuration (a lone terminator), then the login.
        QByteArray expected("$ClientLogin@u1@L9@0$");
        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.received(), expected, kDeadline);
        QCOMPARE(capture.count(QStringLiteral("] response: \"\""), QtInfoMsg), 1);

        Ostrel_SDK::checkExceptionInfos("a", "b");
        Ostrel_SDK::setStreamNode("n@1", "x");
        Ostrel_SDK::exitClient();
        Ostrel_SDK::enterLive("L9", "ignored", true);
        Ostrel_SDK::enterLive(QString(), QString(), false);
        expected += "ExceptionCheck@a@b$StreamNode@n@1@x$ExitClient$ClientLogin@u1@L9@1$ClientLogin@u1@empty@0$";

        // Awkward text goes out as UTF-8, unescaped, one terminator per frame.
        const QString odd = QStringLiteral("a@b$c") + QChar(0) + QStringLiteral("d\u00fc\u20ac") + QChar(0xD83D) + QChar(0xDE00);
        const QString big = QString(1 << 20, QLatin1Char('m')) + QChar(0x4E2D);
        Ostrel_SDK::checkExceptionInfos(odd, QString());
        Ostrel_SDK::checkExceptionInfos(big, odd);
        expected += "ExceptionCheck@" + odd.toUtf8() + "@$ExceptionCheck@" + big.toUtf8() + '@' + odd.toUtf8() + '$';

        // Sub-processes: compact JSON, keys sorted, the first record of a name (case-sensitive) used.
        Ostrel_SDK::subProcessInfo({{"worker.exe", "", "renderer", "1.2", "D:/Dumps/w"}, {"dup.exe", "", "first", "1", "A"}, {"dup.exe", "", "second", "2", "B"},
                                    {"esc.exe", "", "q\"b\\s\n\t\x01", QString::fromUtf8("\xc3\xa9\xe2\x82\xac"), "C:\\d/x"}});
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        Ostrel_SDK::subProcessPid("worker.exe", "4242", "C:/logs/w.log", 0);
        Ostrel_SDK::subProcessPid("worker.exe", "4242", "", 1); // status 1 carries the start time first
        const qint64 after = QDateTime::currentSecsSinceEpoch();
        Ostrel_SDK::subProcessPid("Worker.exe", "1", "", 0);
        Ostrel_SDK::subProcessPid("dup.exe", "", "", -1);
        Ostrel_SDK::subProcessPid("esc.exe", "9", "", 3);
        expected += R"(subProcessInfo@{"appName":"worker.exe","dmpPath":"D:/Dumps/w","role":"renderer","status":0,"subLogFile":"C:/logs/w.log","subProcessPid":"4242","version":"1.2"}$)"
                    R"(subProcessInfo@{"SDKBeginTime":T,"appName":"worker.exe","dmpPath":"D:/Dumps/w","role":"renderer","status":1,"subLogFile":"","subProcessPid":"4242","version":"1.2"}$)"
                    R"(subProcessInfo@{"appName":"dup.exe","dmpPath":"A","role":"first","status":-1,"subLogFile":"","subProcessPid":"","version":"1"}$)"
                    R"(subProcessInfo@{"appName":"esc.exe","dmpPath":"C:\\d/x","role":"q\"b\\s\n\t\u0001","status":3,"subLogFile":"","subProcessPid":"9","version":")"
                    "\xc3\xa9\xe2\x82\xac\"}$";
        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.received().size(), expected.size() + 9, kDeadline);
        QByteArray got = m_standIn.received();
        const int time = got.indexOf("SDKBeginTime\":") + 14;
        QVERIFY(got.mid(time, 10).toLongLong() >= before && got.mid(time, 10).toLongLong() <= after);
        QVERIFY(got.replace(time, 10, "T") == expected);

        QCOMPARE(capture.count(QStringLiteral("] response: \"ExceptionCheck@a@b\""), QtInfoMsg), 1);
        QCOMPARE(capture.count(QStringLiteral("] response: \"subProcessInfo@{"), QtInfoMsg), 4);
        QCOMPARE(capture.count(QStringLiteral("KivCrashHandler Path:")), 1);
    }

    void loginWithoutUserIdAndStoredCloudConfig()
    {
        LogCapture capture;
        m_standIn.use();
        QVERIFY(Ostrel_SDK::StartCrash(QString(), QString(), QString(), QString(), 0, 0, QString()));
        Ostrel_SDK::setCloudConfig("c1", "c2");
        Ostrel_SDK::setCloudConfig("c3", "c4");
        Ostrel_SDK::enterLive("L9", QString(), true);
        Ostrel_SDK::checkExceptionInfos("a", "b");
        // No event loop has run yet: no attempt was made, the guarded messages were dropped.
        QVERIFY(!capture.contains(QStringLiteral("onConnectToServer")));
        QCOMPARE(capture.count(QStringLiteral("client pointer invalid."), QtCriticalMsg), 2);

        QByteArray expected("cloudConfig@c3@c4$"); // no user id yet: no login frame
        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.received(), expected, kDeadline);
        QCOMPARE(m_standIn.args(1), Args({kPid, "", "tst_crashmanage", "", "", "", ""}));

        Ostrel_SDK::enterLive("L9", QString(), true);
        Ostrel_SDK::setUserInfo("u1", QString()); // a socket exists: sent at once
        Ostrel_SDK::setUserInfo("u2", QString()); // once per process
        Ostrel_SDK::exitClient();
        expected += "ClientLogin@@L9@1$ClientLogin@u1@L9@0$ExitClient$";
        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.received(), expected, kDeadline);
    }

    void budgetCarriesOverAfterConnection()
    {
        LogCapture capture;
        QLocalServer server;
        Ostrel_SDK::setCloudConfig("c1", "c2");
        QVERIFY(Ostrel_SDK::StartCrash("c", QString(), QString(), QString(), 1, 1, QString()));
        QTRY_VERIFY_WITH_TIMEOUT(capture.contains(QStringLiteral("try connect handler:")), kDeadline);

        // The socket exists but is not connected: the login counts as sent all the same.
        Ostrel_SDK::setUserInfo("u1", QString());
        QVERIFY(capture.contains(QStringLiteral("sendClientLoginInfo, response: \"ClientLogin@u1@@0\" true")));
        Ostrel_SDK::checkExceptionInfos("a", "b");
        QVERIFY(capture.lines(QStringLiteral("client is not connected."), QtCriticalMsg)
                        .last().endsWith(QStringLiteral("] client is not connected. QLocalSocket::UnconnectedState")));

        // One of the pending retries connects: the cloud configuration goes out, the login does not.
        QLocalServer::removeServer(kServer);
        QVERIFY(server.listen(kServer));
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), kDeadline);
        QLocalSocket *connection = server.nextPendingConnection();
        QByteArray got;
        QTRY_COMPARE_WITH_TIMEOUT(got += connection->readAll(), QByteArray("cloudConfig@c1@c2$"), kDeadline);

        // The loss is reported twice (error, then disconnect), and the counts go on from where the
        // connection left them: whichever retry connected, the relaunch follows "6 0".
        server.close();
        connection->abort();
        QTRY_COMPARE_WITH_TIMEOUT(capture.count(QStringLiteral("KivCrashHandler Path:")), 2, kDeadline);
        QCOMPARE(timeline(capture).mid(0, 9), budgetTimeline(1) + QStringList(QStringLiteral("launch")));
        // Qt's named pipes (Windows) report a closed peer as a disconnect only.
        QCOMPARE(capture.count(QStringLiteral("] socket error: QLocalSocket::PeerClosedError"), QtCriticalMsg), QSysInfo::kernelType() == "winnt" ? 0 : 1);
        QCOMPARE(capture.count(QStringLiteral("CrashManage::onDisconnected()"), QtInfoMsg), 1);

        // The connection after the relaunch gets the cloud configuration again, and guarded frames.
        QVERIFY(server.listen(kServer));
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), kDeadline);
        connection = server.nextPendingConnection();
        QTRY_COMPARE_WITH_TIMEOUT(got += connection->readAll(), QByteArray("cloudConfig@c1@c2$cloudConfig@c1@c2$"), kDeadline);
        Ostrel_SDK::checkExceptionInfos("z", "z");
        QTRY_COMPARE_WITH_TIMEOUT(got += connection->readAll(), QByteArray("cloudConfig@c1@c2$cloudConfig@c1@c2$ExceptionCheck@z@z$"), kDeadline);
    }

    void fullBudgetThenSilence()
    {
        LogCapture capture;
        m_standIn.use("never");
        QVERIFY(Ostrel_SDK::StartCrash("first", "h1", QString(), "D:/d", 1, 1, "h3"));
        QVERIFY(Ostrel_SDK::StartCrash("later", QString(), "h2", "E:\\e/f", 2, 2, QString())); // used by every relaunch

        QTRY_COMPARE_WITH_TIMEOUT(timeline(capture).size(), 64, 120000);
        QCOMPARE(timeline(capture), budgetTimeline(8)); // 8 launches, 56 failed attempts
        QCOMPARE(capture.lines(QStringLiteral("try connect handler:")).first(),
                 QStringLiteral("[OstrelSDk] [ void CrashManage::tryConnectHandler() ] try connect handler:  0 0"));
        QCOMPARE(capture.count(QStringLiteral("] socket error: QLocalSocket::ServerNotFoundError"), QtCriticalMsg), 56);

        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.launches(), 8, kDeadline);
        QList<Args> all;
        for (int n = 1; n <= 8; ++n)
            all.append(m_standIn.args(n));
        QCOMPARE(all.count({kPid, "D:\\d", "tst_crashmanage", "first", "h1", "", "h3"}), 1);
        QCOMPARE(all.count({kPid, "E:\\e\\f", "tst_crashmanage", "later", "", "h2", ""}), 7);

        // The budget is spent: a first attempt and several retry periods pass without a trace.
        const int lines = capture.lines().size();
        QTest::qWait(1000);
        QCOMPARE(capture.lines().size(), lines);
        QCOMPARE(m_standIn.launches(), 8);
    }

    // Another user serves the handler's name first: each connection to it is left before a byte is
    // written and counts as one failed attempt, logged and retried like any other, with the user
    // named. Once a server of our own has the name, the session arrives whole (login included).
    void foreignServerRefused()
    {
#ifdef Q_OS_WIN
        QSKIP("serving the name as another user needs a second account, which the Wine lane does not have");
#else
        if (geteuid() != 0)
            QSKIP("serving the name as another user needs root");
#endif
        LogCapture capture;
        m_standIn.use("never");
        QLocalServer squatter;
        {
            AsOrdinaryUser nobody;
            QVERIFY(nobody.ok);
            QVERIFY2(squatter.listen(kServer), qPrintable(squatter.errorString()));
        }
        Ostrel_SDK::setCloudConfig("c1", "c2");
        Ostrel_SDK::setUserInfo("u1", QString());
        QVERIFY(Ostrel_SDK::StartCrash("c", QString(), QString(), QString(), 1, 1, QString()));

        QList<QLocalSocket *> refused; // children of the squatter
        const auto accept = [&] {
            while (QLocalSocket *c = squatter.nextPendingConnection())
                refused.append(c);
            return refused.size();
        };
        QTRY_VERIFY_WITH_TIMEOUT(accept() >= 3, kDeadline);
        squatter.close();
        for (QLocalSocket *c : refused) {
            QTRY_COMPARE_WITH_TIMEOUT(c->state(), QLocalSocket::UnconnectedState, kDeadline);
            QCOMPARE(c->readAll(), QByteArray());
        }

        QLocalServer own;
        QVERIFY(own.listen(kServer));
        QTRY_VERIFY_WITH_TIMEOUT(own.hasPendingConnections(), kDeadline);
        QLocalSocket *connection = own.nextPendingConnection();
        QByteArray got;
        QTRY_COMPARE_WITH_TIMEOUT(got += connection->readAll(), QByteArray("cloudConfig@c1@c2$ClientLogin@u1@@0$"), kDeadline);

        // One failure report per refused connection, none of them a disconnect, on the usual budget.
        const QString foreign = QStringLiteral("[OstrelSDk] [ void CrashManage::onConnected() ] crash handler server belongs to another user: \"uid 65534\"");
        const int refusals = capture.count(foreign, QtCriticalMsg);
        QVERIFY(refusals >= refused.size());
        QCOMPARE(capture.count(QStringLiteral("] socket error: QLocalSocket::SocketAccessError"), QtCriticalMsg), refusals);
        QVERIFY(!capture.contains(QStringLiteral("onDisconnected")));
        const QStringList steps = timeline(capture);
        QCOMPARE(steps, budgetTimeline(8).mid(0, steps.size()));
        QCOMPARE(capture.count(QStringLiteral("try connect handler:")), refusals + capture.count(QStringLiteral("ServerNotFoundError")));
    }

    // The echo is a plain debug line, not an SDK log line: the switch does not gate it.
    void handlerOutputEcho()
    {
        LogCapture capture;
        Ostrel_SDK::logSwitch(false);
        m_standIn.use("reply:one\r\n\r\ntwo\r  three  \rfour");
        QVERIFY(Ostrel_SDK::StartCrash("c", QString(), QString(), QString(), 1, 1, QString()));
        // On Windows the data folder is the user profile's, shared with other test processes: files
        // that ended ones left there are removed, and logged, on the way.
        const auto lines = [&capture] { return capture.tagged().filter(QRegularExpression("^(?!.*removed the client info file of an ended host)")); };
        QTRY_COMPARE_WITH_TIMEOUT(lines().size(), 5, kDeadline);
        QCOMPARE(lines(), QStringList({"-writeIniFile \"c\" \"" + kPid + '"', "-\"[OstrelSDk] socket output:one\"", "-\"[OstrelSDk] socket output:two\"",
                                                "-\"[OstrelSDk] socket output:three\"", "-\"[OstrelSDk] socket output:four\""}));
    }
};

QTEST_GUILESS_MAIN(tst_CrashManage)
#include "tst_crashmanage.moc"
