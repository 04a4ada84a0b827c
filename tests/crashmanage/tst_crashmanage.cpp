// The crash handler supervision end to end, with the short test delays: the launch command line,
// the bytes on the wire, the retry and relaunch budget, and the echo of the handler's output. The
// handler is either the recording stand-in (KivCrashHandler.exe beside this binary) or, where the
// test must decide exactly when a server listens, a QLocalServer of the test itself. One CTest entry
// per test function: the library's state is once per process.

#include "crashmanage/handleroutput.h"
#include "logcapture.h"

#include <OstrelSDK/ostrelsdk.h>

#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const int kDeadline = 20000;

QString serverName()
{
    return QStringLiteral("Kiv_Crash_Handler_") + QString::number(QCoreApplication::applicationPid());
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The launches ("launch") and the "c r" pairs of the "try connect handler: " lines, in log order.
QStringList timeline(const LogCapture &capture)
{
    static const QRegularExpression pair(QStringLiteral("try connect handler: +(\\d+) (\\d+)$"));
    QStringList out;
    for (const LogCapture::Entry &e : capture.entries()) {
        if (e.text.contains(QLatin1String("KivCrashHandler Path:")))
            out.append(QStringLiteral("launch"));
        const QRegularExpressionMatch m = pair.match(e.text);
        if (m.hasMatch())
            out.append(m.captured(1) + QLatin1Char(' ') + m.captured(2));
    }
    return out;
}

// What the timeline shows when `cycles` launches each spend all their retries.
QStringList budgetTimeline(int cycles)
{
    QStringList out;
    for (int r = 0; r < cycles; ++r) {
        out.append(QStringLiteral("launch"));
        for (int c = 0; c <= 6; ++c)
            out.append(QStringLiteral("%1 %2").arg(c).arg(r));
    }
    return out;
}

// Appends what has arrived on `socket` to `got` and returns it (for QTRY_COMPARE).
QByteArray drain(QLocalSocket *socket, QByteArray &got)
{
    if (socket)
        got += socket->readAll();
    return got;
}

// Starts a test-owned server from inside the log line that announces a retry, before that retry's
// timer exists: the retry is then certain to find it listening.
QtMessageHandler s_chained = nullptr;
QLocalServer *s_triggerServer = nullptr;
QString s_triggerLine;

void listenOnLine(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    s_chained(type, context, text);
    if (s_triggerServer && !s_triggerLine.isEmpty() && text.endsWith(s_triggerLine)) {
        s_triggerLine.clear();
        QLocalServer::removeServer(serverName());
        s_triggerServer->listen(serverName());
    }
}

} // namespace

class tst_CrashManage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void launchAndFramesOnOneConnection();
    void loginWithoutUserIdAndStoredCloudConfig();
    void loginOnUnconnectedSocketIsNotRepeated();
    void budgetCarriesOverAfterConnection();
    void fullBudgetThenSilence();
    void handlerDroppingEachConnection();
    void handlerOutputCutting();
    void handlerOutputEcho();
    void callsWithoutEventLoop();

private:
    QString standIn(const QByteArray &mode = QByteArray());
    QList<QByteArray> launchArgs(int n) const;
    int launchCount() const;

    QTemporaryDir m_home;
    QTemporaryDir m_records;
};

void tst_CrashManage::initTestCase()
{
    QVERIFY(m_home.isValid() && m_records.isValid());
    qputenv("HOME", m_home.path().toLocal8Bit());
    qputenv("OSTREL_WER_SETTINGS_DIR", m_home.path().toLocal8Bit());
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_home.path());
    qunsetenv("OSTREL_STANDIN_DIR");
    qunsetenv("OSTREL_STANDIN_MODE");
}

// Points the stand-in at the records folder; returns the path of its first launch's received bytes.
QString tst_CrashManage::standIn(const QByteArray &mode)
{
    qputenv("OSTREL_STANDIN_DIR", m_records.path().toLocal8Bit());
    qputenv("OSTREL_STANDIN_MODE", mode);
    return m_records.filePath(QStringLiteral("received-1.bin"));
}

QList<QByteArray> tst_CrashManage::launchArgs(int n) const
{
    QByteArray record = fileBytes(m_records.filePath(QStringLiteral("launch-%1.args").arg(n)));
    if (!record.endsWith('\0'))
        return {};
    record.chop(1);
    return record.split('\0');
}

int tst_CrashManage::launchCount() const
{
    return QDir(m_records.path()).entryList({QStringLiteral("launch-*.args")}, QDir::Files).size();
}

void tst_CrashManage::launchAndFramesOnOneConnection()
{
    LogCapture capture;
    const QString received = standIn();
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
    Ostrel_SDK::enterLive(QStringLiteral("L9"), QString(), true); // recorded, not sent: no socket
    QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("client"), QString(), QStringLiteral("p2"),
                                   QStringLiteral("C:/dumps/a\\b"), 10, 2, QString()));
    QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("other"), QStringLiteral("x"), QStringLiteral("y"),
                                   QStringLiteral("/z"), 1, 1, QStringLiteral("w")));
    QCOMPARE(capture.count(QStringLiteral("] CrashManage::actualStart Actual had started"), QtInfoMsg), 1);

    const QList<QByteArray> expectedArgs {QByteArray::number(QCoreApplication::applicationPid()),
                                          "C:\\dumps\\a\\b", "tst_crashmanage", "client", "", "p2", ""};
    QTRY_COMPARE_WITH_TIMEOUT(launchArgs(1), expectedArgs, kDeadline);

    // Connect-time frames: the (empty) cloud configuration, then the login with the recorded live id.
    QByteArray expected("$ClientLogin@u1@L9@0$");
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(received), expected, kDeadline);

    Ostrel_SDK::checkExceptionInfos(QStringLiteral("a"), QStringLiteral("b"));
    Ostrel_SDK::setStreamNode(QStringLiteral("n@1"), QStringLiteral("x"));
    Ostrel_SDK::exitClient();
    Ostrel_SDK::exitClient();
    Ostrel_SDK::enterLive(QStringLiteral("L9"), QStringLiteral("ignored"), true);
    Ostrel_SDK::enterLive(QString(), QString(), false);
    expected += "ExceptionCheck@a@b$StreamNode@n@1@x$ExitClient$ExitClient$"
                "ClientLogin@u1@L9@1$ClientLogin@u1@empty@0$";

    // Awkward text goes out as UTF-8, unescaped, one terminator per frame.
    const QString odd = QStringLiteral("a@b$c") + QChar(0) + QStringLiteral("d\u00fc\u20ac") + QChar(0xD83D) + QChar(0xDE00);
    const QString big = QString(1 << 20, QLatin1Char('m')) + QChar(0x4E2D);
    Ostrel_SDK::checkExceptionInfos(odd, QString());
    Ostrel_SDK::checkExceptionInfos(QString(), QString());
    Ostrel_SDK::checkExceptionInfos(big, odd);
    expected += "ExceptionCheck@" + odd.toUtf8() + "@$ExceptionCheck@@$ExceptionCheck@" + big.toUtf8() + '@'
                + odd.toUtf8() + '$';
    QCOMPARE(odd.toUtf8(), QByteArray("a@b$c\0d\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80", 16));
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(received).size(), expected.size(), kDeadline);
    QVERIFY(fileBytes(received) == expected);

    QCOMPARE(capture.count(QStringLiteral("] Live Id is Empty."), QtCriticalMsg), 1);
    QCOMPARE(capture.count(QStringLiteral("] response: \"ExceptionCheck@a@b\""), QtInfoMsg), 1);
    QCOMPARE(capture.count(QStringLiteral("KivCrashHandler Path:")), 1);
    QCOMPARE(launchCount(), 1);
}

void tst_CrashManage::loginWithoutUserIdAndStoredCloudConfig()
{
    LogCapture capture;
    const QString received = standIn();
    Ostrel_SDK::setCloudConfig(QStringLiteral("c1"), QStringLiteral("c2"));
    Ostrel_SDK::setCloudConfig(QStringLiteral("c3"), QStringLiteral("c4"));
    QVERIFY(Ostrel_SDK::StartCrash(QString(), QString(), QString(), QString(), 0, 0, QString()));
    QByteArray expected("cloudConfig@c3@c4$"); // no user id yet: no login frame
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(received), expected, kDeadline);
    QCOMPARE(launchArgs(1).size(), 7);

    Ostrel_SDK::enterLive(QStringLiteral("L9"), QString(), true);
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString()); // a socket exists: sent at once
    Ostrel_SDK::setUserInfo(QStringLiteral("u2"), QString()); // once per process
    Ostrel_SDK::exitClient();
    expected += "ClientLogin@@L9@1$ClientLogin@u1@L9@0$ExitClient$";
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(received), expected, kDeadline);
    QCOMPARE(capture.count(QStringLiteral("] User Id is Empty."), QtCriticalMsg), 1);
}

void tst_CrashManage::loginOnUnconnectedSocketIsNotRepeated()
{
    LogCapture capture;
    QLocalServer server;
    QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("c"), QString(), QString(), QString(), 1, 1, QString()));
    QTRY_VERIFY_WITH_TIMEOUT(capture.contains(QStringLiteral("try connect handler:")), kDeadline);

    // The socket exists but is not connected: the login counts as sent all the same.
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
    QVERIFY(capture.contains(QStringLiteral("sendClientLoginInfo, response: \"ClientLogin@u1@@0\" true")));
    Ostrel_SDK::checkExceptionInfos(QStringLiteral("a"), QStringLiteral("b"));
    QVERIFY(capture.lines(QStringLiteral("client is not connected."), QtCriticalMsg)
                    .last().endsWith(QStringLiteral("] client is not connected. QLocalSocket::UnconnectedState")));

    QLocalServer::removeServer(serverName());
    QVERIFY(server.listen(serverName()));
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), kDeadline);
    QLocalSocket *connection = server.nextPendingConnection();
    QByteArray got;
    QTRY_COMPARE_WITH_TIMEOUT(drain(connection, got), QByteArray("$"), kDeadline);
    Ostrel_SDK::checkExceptionInfos(QStringLiteral("a"), QStringLiteral("b"));
    QTRY_COMPARE_WITH_TIMEOUT(drain(connection, got), QByteArray("$ExceptionCheck@a@b$"), kDeadline);
    QCOMPARE(capture.count(QStringLiteral("] response: \"\""), QtInfoMsg), 1); // the empty cloud config
}

void tst_CrashManage::budgetCarriesOverAfterConnection()
{
    LogCapture capture;
    s_chained = qInstallMessageHandler(listenOnLine);
    QLocalServer server;
    s_triggerServer = &server;
    s_triggerLine = QStringLiteral("try connect handler:  2 0"); // the third retry will connect
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
    Ostrel_SDK::setCloudConfig(QStringLiteral("c1"), QStringLiteral("c2"));
    QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("c"), QString(), QString(), QString(), 1, 1, QString()));

    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), kDeadline);
    QLocalSocket *connection = server.nextPendingConnection();
    QByteArray got;
    QTRY_COMPARE_WITH_TIMEOUT(drain(connection, got), QByteArray("cloudConfig@c1@c2$ClientLogin@u1@@0$"), kDeadline);
    QCOMPARE(timeline(capture), budgetTimeline(1).mid(0, 4)); // connected at the third retry
    QCOMPARE(capture.count(QStringLiteral("CrashManage::onConnectToServer()")), 4);

    // Lose the connection with nobody listening. The loss is reported twice (error, then
    // disconnect), so it takes two counts at once and leaves two retries before the relaunch; the
    // server listens again from the relaunch on.
    s_triggerLine = QStringLiteral("try connect handler:  6 0");
    server.close();
    connection->abort();
    QTRY_COMPARE_WITH_TIMEOUT(capture.count(QStringLiteral("KivCrashHandler Path:")), 2, kDeadline);
    QCOMPARE(timeline(capture).mid(0, 9), budgetTimeline(1) + QStringList(QStringLiteral("launch")));
    QCOMPARE(capture.count(QStringLiteral("] socket error: QLocalSocket::PeerClosedError"), QtCriticalMsg), 1);
    QCOMPARE(capture.count(QStringLiteral("CrashManage::onDisconnected()"), QtInfoMsg), 1);

    // The second connection gets the cloud configuration again, but never a second login.
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), kDeadline);
    connection = server.nextPendingConnection();
    got.clear();
    QTRY_COMPARE_WITH_TIMEOUT(drain(connection, got), QByteArray("cloudConfig@c1@c2$"), kDeadline);
    Ostrel_SDK::checkExceptionInfos(QStringLiteral("z"), QStringLiteral("z"));
    QTRY_COMPARE_WITH_TIMEOUT(drain(connection, got), QByteArray("cloudConfig@c1@c2$ExceptionCheck@z@z$"), kDeadline);

    s_triggerServer = nullptr;
    qInstallMessageHandler(s_chained);
}

void tst_CrashManage::fullBudgetThenSilence()
{
    LogCapture capture;
    standIn("never");
    QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("first"), QStringLiteral("h1"), QString(),
                                   QStringLiteral("D:/d"), 1, 1, QStringLiteral("h3")));
    // Recorded now, used by every relaunch.
    QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("later"), QString(), QStringLiteral("h2"),
                                   QStringLiteral("E:\\e/f"), 2, 2, QString()));

    QTRY_COMPARE_WITH_TIMEOUT(timeline(capture).size(), 64, 120000);
    QCOMPARE(timeline(capture), budgetTimeline(8)); // 8 launches, 56 failed attempts
    QCOMPARE(capture.lines(QStringLiteral("try connect handler:")).first(),
             QStringLiteral("[OstrelSDk] [ void CrashManage::tryConnectHandler() ] try connect handler:  0 0"));
    QCOMPARE(capture.count(QStringLiteral("CrashManage::onConnectToServer()")), 56);
    QCOMPARE(capture.count(QStringLiteral("] socket error: QLocalSocket::ServerNotFoundError"), QtCriticalMsg), 56);
    QCOMPARE(capture.count(QStringLiteral("KivCrashHandler Path:")), 8);

    QTRY_COMPARE_WITH_TIMEOUT(launchCount(), 8, kDeadline);
    const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid());
    const QList<QByteArray> first {pid, "D:\\d", "tst_crashmanage", "first", "h1", "", "h3"};
    const QList<QByteArray> later {pid, "E:\\e\\f", "tst_crashmanage", "later", "", "h2", ""};
    int firsts = 0;
    for (int n = 1; n <= 8; ++n) {
        const QList<QByteArray> args = launchArgs(n);
        QVERIFY2(args == first || args == later, args.join(' ').constData());
        firsts += (args == first);
    }
    QCOMPARE(firsts, 1);

    // The budget is spent: a first attempt and several retry periods pass without a trace.
    const int lines = capture.entries().size();
    QTest::qWait(1000);
    QCOMPARE(capture.entries().size(), lines);
    QCOMPARE(launchCount(), 8);
    Ostrel_SDK::exitClient();
    QVERIFY(capture.entries().last().text.endsWith(QStringLiteral("client is not connected. QLocalSocket::UnconnectedState")));
}

void tst_CrashManage::handlerDroppingEachConnection()
{
    standIn("drop-after-first");
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
    QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("c"), QString(), QString(), QString(), 1, 1, QString()));

    // Every reconnection (to this launch or a relaunch) starts with the cloud configuration frame;
    // the login goes out on the very first connection only (where it may be cut off with the
    // connection), never again.
    auto allReceived = [this] {
        QByteArray all;
        for (int n = 1; n <= launchCount(); ++n)
            all += fileBytes(m_records.filePath(QStringLiteral("received-%1.bin").arg(n)));
        return all;
    };
    QTRY_VERIFY_WITH_TIMEOUT(allReceived().count('$') >= 4, kDeadline);
    static const QRegularExpression frames(QStringLiteral("^\\$(ClientLogin@u1@@0\\$)?\\$+$"));
    QVERIFY2(frames.match(QString::fromUtf8(allReceived())).hasMatch(), allReceived().constData());
}

void tst_CrashManage::handlerOutputCutting()
{
    const QStringList none;
    QCOMPARE(handlerOutputLines("a"), none);
    QCOMPARE(handlerOutputLines("\r"), none);
    QCOMPARE(handlerOutputLines(" \r\n\t\r"), none);
    QCOMPARE(handlerOutputLines("a\rb"), QStringList({QStringLiteral("a"), QStringLiteral("b")}));
    QCOMPARE(handlerOutputLines("a\r\n\r\nb"), QStringList({QStringLiteral("a"), QStringLiteral("b")}));
    QCOMPARE(handlerOutputLines("  x y \r"), QStringList(QStringLiteral("x y")));
}

void tst_CrashManage::handlerOutputEcho()
{
    LogCapture capture;
    Ostrel_SDK::logSwitch(false); // the echo is not an SDK log line: the switch does not gate it
    standIn("reply:one\r\n\r\ntwo\r  three  \rfour");
    QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("c"), QString(), QString(), QString(), 1, 1, QString()));

    QTRY_COMPARE_WITH_TIMEOUT(capture.count(QStringLiteral("socket output:")), 4, kDeadline);
    QStringList echoed;
    for (const LogCapture::Entry &e : capture.entries()) {
        if (e.text.contains(QStringLiteral("socket output:"))) {
            QCOMPARE(e.type, QtDebugMsg);
            QVERIFY(!e.hasContext);
            echoed.append(e.text);
        }
    }
    QCOMPARE(echoed, QStringList({QStringLiteral("\"[OstrelSDk] socket output:one\""),
                                  QStringLiteral("\"[OstrelSDk] socket output:two\""),
                                  QStringLiteral("\"[OstrelSDk] socket output:three\""),
                                  QStringLiteral("\"[OstrelSDk] socket output:four\"")}));
    QVERIFY(!capture.contains(QStringLiteral("[OstrelSDk] [")));
}

void tst_CrashManage::callsWithoutEventLoop()
{
    LogCapture capture;
    const QString received = standIn();
    QElapsedTimer timer;
    timer.start();
    QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("c"), QString(), QString(), QString(), 1, 1, QString()));
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
    Ostrel_SDK::enterLive(QStringLiteral("L1"), QString(), true);
    Ostrel_SDK::setCloudConfig(QStringLiteral("x"), QStringLiteral("y"));
    Ostrel_SDK::checkExceptionInfos(QStringLiteral("a"), QStringLiteral("b"));
    Ostrel_SDK::exitClient();
    QVERIFY2(timer.elapsed() < 5000, "an export waited for something");
    // No event loop has run: no attempt was made, the guarded messages were dropped.
    QVERIFY(!capture.contains(QStringLiteral("onConnectToServer")));
    QCOMPARE(capture.count(QStringLiteral("client pointer invalid."), QtCriticalMsg), 3);

    // Once the loop runs, the pending attempt connects and the recorded values go out.
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(received), QByteArray("cloudConfig@x@y$ClientLogin@u1@L1@0$"), kDeadline);
}

QTEST_GUILESS_MAIN(tst_CrashManage)
#include "tst_crashmanage.moc"
