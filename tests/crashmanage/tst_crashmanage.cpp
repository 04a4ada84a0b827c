// The crash handler supervision end to end, with the short test delays: the launch command line,
// the bytes on the wire, the retry and relaunch budget, and the echo of the handler's output. The
// handler is the recording stand-in (KivCrashHandler.exe beside this binary) or, where the test must
// decide when a server listens, a QLocalServer of the test itself. One CTest entry per function.

#include "crashmanage/handleroutput.h"
#include "logcapture.h"

#include <OstrelSDK/ostrelsdk.h>

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const int kDeadline = 20000;
using Args = QList<QByteArray>;

QByteArray pid()
{
    return QByteArray::number(QCoreApplication::applicationPid());
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// "launch" for each launch and "c r" for each "try connect handler: " line, in log order.
QStringList timeline(const LogCapture &capture)
{
    static const QRegularExpression line(QStringLiteral("KivCrashHandler Path:|try connect handler: +(\\d+) (\\d+)$"));
    QStringList out;
    for (const LogCapture::Entry &e : capture.entries()) {
        const QRegularExpressionMatch m = line.match(e.text);
        if (m.hasMatch())
            out.append(m.captured(1).isEmpty() ? QStringLiteral("launch") : m.captured(1) + QLatin1Char(' ') + m.captured(2));
    }
    return out;
}

// The timeline of `cycles` launches that each spend all their retries.
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

} // namespace

class tst_CrashManage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void launchAndFramesOnOneConnection();
    void loginWithoutUserIdAndStoredCloudConfig();
    void budgetCarriesOverAfterConnection();
    void fullBudgetThenSilence();
    void handlerOutputCutting();
    void handlerOutputEcho();

private:
    // Points the stand-in at the records folder; returns the path of its first launch's received bytes.
    QString standIn(const QByteArray &mode = QByteArray())
    {
        qputenv("OSTREL_STANDIN_DIR", m_records.path().toLocal8Bit());
        qputenv("OSTREL_STANDIN_MODE", mode);
        return m_records.filePath(QStringLiteral("received-1.bin"));
    }
    Args launchArgs(int n) const
    {
        QByteArray record = fileBytes(m_records.filePath(QStringLiteral("launch-%1.args").arg(n)));
        if (!record.endsWith('\0'))
            return {};
        record.chop(1);
        return record.split('\0');
    }
    int launchCount() const
    {
        return QDir(m_records.path()).entryList({QStringLiteral("launch-*.args")}, QDir::Files).size();
    }

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
    QTRY_COMPARE_WITH_TIMEOUT(launchArgs(1), Args({pid(), "C:\\dumps\\a\\b", "tst_crashmanage", "client", "", "p2", ""}),
                              kDeadline);

    // Connect-time frames: the empty cloud configuration (a lone terminator), then the login.
    QByteArray expected("$ClientLogin@u1@L9@0$");
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(received), expected, kDeadline);
    QCOMPARE(capture.count(QStringLiteral("] response: \"\""), QtInfoMsg), 1);

    Ostrel_SDK::checkExceptionInfos(QStringLiteral("a"), QStringLiteral("b"));
    Ostrel_SDK::setStreamNode(QStringLiteral("n@1"), QStringLiteral("x"));
    Ostrel_SDK::exitClient();
    Ostrel_SDK::exitClient();
    Ostrel_SDK::enterLive(QStringLiteral("L9"), QStringLiteral("ignored"), true);
    Ostrel_SDK::enterLive(QString(), QString(), false);
    expected += "ExceptionCheck@a@b$StreamNode@n@1@x$ExitClient$ExitClient$ClientLogin@u1@L9@1$ClientLogin@u1@empty@0$";

    // Awkward text goes out as UTF-8, unescaped, one terminator per frame.
    const QString odd = QStringLiteral("a@b$c") + QChar(0) + QStringLiteral("d\u00fc\u20ac") + QChar(0xD83D) + QChar(0xDE00);
    const QString big = QString(1 << 20, QLatin1Char('m')) + QChar(0x4E2D);
    QCOMPARE(odd.toUtf8(), QByteArray("a@b$c\0d\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80", 16));
    Ostrel_SDK::checkExceptionInfos(odd, QString());
    Ostrel_SDK::checkExceptionInfos(QString(), QString());
    Ostrel_SDK::checkExceptionInfos(big, odd);
    expected += "ExceptionCheck@" + odd.toUtf8() + "@$ExceptionCheck@@$ExceptionCheck@" + big.toUtf8() + '@' + odd.toUtf8() + '$';
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(received).size(), expected.size(), kDeadline);
    QVERIFY(fileBytes(received) == expected);

    QCOMPARE(capture.count(QStringLiteral("] response: \"ExceptionCheck@a@b\""), QtInfoMsg), 1);
    QCOMPARE(capture.count(QStringLiteral("KivCrashHandler Path:")), 1);
}

void tst_CrashManage::loginWithoutUserIdAndStoredCloudConfig()
{
    LogCapture capture;
    const QString received = standIn();
    QVERIFY(Ostrel_SDK::StartCrash(QString(), QString(), QString(), QString(), 0, 0, QString()));
    Ostrel_SDK::setCloudConfig(QStringLiteral("c1"), QStringLiteral("c2"));
    Ostrel_SDK::setCloudConfig(QStringLiteral("c3"), QStringLiteral("c4"));
    Ostrel_SDK::enterLive(QStringLiteral("L9"), QString(), true);
    Ostrel_SDK::checkExceptionInfos(QStringLiteral("a"), QStringLiteral("b"));
    // No event loop has run yet: no attempt was made, the guarded messages were dropped.
    QVERIFY(!capture.contains(QStringLiteral("onConnectToServer")));
    QCOMPARE(capture.count(QStringLiteral("client pointer invalid."), QtCriticalMsg), 2);

    QByteArray expected("cloudConfig@c3@c4$"); // no user id yet: no login frame
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(received), expected, kDeadline);
    QCOMPARE(launchArgs(1), Args({pid(), "", "tst_crashmanage", "", "", "", ""}));

    Ostrel_SDK::enterLive(QStringLiteral("L9"), QString(), true);
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString()); // a socket exists: sent at once
    Ostrel_SDK::setUserInfo(QStringLiteral("u2"), QString()); // once per process
    Ostrel_SDK::exitClient();
    expected += "ClientLogin@@L9@1$ClientLogin@u1@L9@0$ExitClient$";
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(received), expected, kDeadline);
}

void tst_CrashManage::budgetCarriesOverAfterConnection()
{
    LogCapture capture;
    QLocalServer server;
    const QString name = QStringLiteral("Kiv_Crash_Handler_") + QString::fromLatin1(pid());
    Ostrel_SDK::setCloudConfig(QStringLiteral("c1"), QStringLiteral("c2"));
    QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("c"), QString(), QString(), QString(), 1, 1, QString()));
    QTRY_VERIFY_WITH_TIMEOUT(capture.contains(QStringLiteral("try connect handler:")), kDeadline);

    // The socket exists but is not connected: the login counts as sent all the same.
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
    QVERIFY(capture.contains(QStringLiteral("sendClientLoginInfo, response: \"ClientLogin@u1@@0\" true")));
    Ostrel_SDK::checkExceptionInfos(QStringLiteral("a"), QStringLiteral("b"));
    QVERIFY(capture.lines(QStringLiteral("client is not connected."), QtCriticalMsg)
                    .last().endsWith(QStringLiteral("] client is not connected. QLocalSocket::UnconnectedState")));

    // One of the pending retries connects: the cloud configuration goes out, the login does not.
    QLocalServer::removeServer(name);
    QVERIFY(server.listen(name));
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
    QCOMPARE(capture.count(QStringLiteral("] socket error: QLocalSocket::PeerClosedError"), QtCriticalMsg), 1);
    QCOMPARE(capture.count(QStringLiteral("CrashManage::onDisconnected()"), QtInfoMsg), 1);

    // The connection after the relaunch gets the cloud configuration again, and guarded frames.
    QVERIFY(server.listen(name));
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), kDeadline);
    connection = server.nextPendingConnection();
    got.clear();
    QTRY_COMPARE_WITH_TIMEOUT(got += connection->readAll(), QByteArray("cloudConfig@c1@c2$"), kDeadline);
    Ostrel_SDK::checkExceptionInfos(QStringLiteral("z"), QStringLiteral("z"));
    QTRY_COMPARE_WITH_TIMEOUT(got += connection->readAll(), QByteArray("cloudConfig@c1@c2$ExceptionCheck@z@z$"), kDeadline);
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

    QTRY_COMPARE_WITH_TIMEOUT(launchCount(), 8, kDeadline);
    const Args first {pid(), "D:\\d", "tst_crashmanage", "first", "h1", "", "h3"};
    const Args later {pid(), "E:\\e\\f", "tst_crashmanage", "later", "", "h2", ""};
    QList<Args> all;
    for (int n = 1; n <= 8; ++n)
        all.append(launchArgs(n));
    QCOMPARE(all.count(first), 1);
    QCOMPARE(all.count(later), 7);

    // The budget is spent: a first attempt and several retry periods pass without a trace.
    const int lines = capture.entries().size();
    QTest::qWait(1000);
    QCOMPARE(capture.entries().size(), lines);
    QCOMPARE(launchCount(), 8);
    Ostrel_SDK::exitClient();
    QVERIFY(capture.entries().last().text.endsWith(QStringLiteral("client is not connected. QLocalSocket::UnconnectedState")));
}

void tst_CrashManage::handlerOutputCutting()
{
    const struct { const char *data; QStringList lines; } table[] = {
        {"a", {}}, {"\r", {}}, {" \r\n\t\r", {}}, {"a\rb", {"a", "b"}}, {"a\r\n\r\nb", {"a", "b"}}, {"  x y \r", {"x y"}}};
    for (const auto &row : table)
        QCOMPARE(handlerOutputLines(row.data), row.lines);
}

void tst_CrashManage::handlerOutputEcho()
{
    LogCapture capture;
    Ostrel_SDK::logSwitch(false); // the echo is not an SDK log line: the switch does not gate it
    standIn("reply:one\r\n\r\ntwo\r  three  \rfour");
    QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("c"), QString(), QString(), QString(), 1, 1, QString()));

    QTRY_COMPARE_WITH_TIMEOUT(capture.count(QStringLiteral("socket output:")), 4, kDeadline);
    for (const LogCapture::Entry &e : capture.entries())
        QVERIFY(!e.text.contains(QLatin1String("socket output:")) || (e.type == QtDebugMsg && !e.hasContext));
    QVERIFY(!capture.contains(QStringLiteral("[OstrelSDk] [")));
    QCOMPARE(capture.lines(QStringLiteral("socket output:")),
             QStringList({QStringLiteral("\"[OstrelSDk] socket output:one\""), QStringLiteral("\"[OstrelSDk] socket output:two\""),
                          QStringLiteral("\"[OstrelSDk] socket output:three\""), QStringLiteral("\"[OstrelSDk] socket output:four\"")}));
}

QTEST_GUILESS_MAIN(tst_CrashManage)
#include "tst_crashmanage.moc"
