// The "subProcessInfo@" handler message, read off the wire by a local server that this test process
// serves as its own crash handler ("Kiv_Crash_Handler_" + pid), and the connection guard in front
// of it. One CTest entry per test function: each calls StartCrash.

#include "logcapture.h"

#include <OstrelSDK/ostrelsdk.h>

#include <QDateTime>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class tst_SubProcessPayload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void payloads();
    void guardPaths();

private:
    void listen();
    bool frameArrived();
    QByteArray takeFrame();
    void startCrash();

    QTemporaryDir m_home;
    QTemporaryDir m_settings;
    QLocalServer m_server;
    QLocalSocket *m_peer = nullptr;
    QByteArray m_buffer;
};

namespace {

SubProcess_Info subProcess(const char *appName, const char *role, const char *version, const char *dmpPath)
{
    SubProcess_Info info;
    info.appName = QString::fromUtf8(appName);
    info.role = QString::fromUtf8(role);
    info.version = QString::fromUtf8(version);
    info.dmpPath = QString::fromUtf8(dmpPath);
    return info;
}

} // namespace

void tst_SubProcessPayload::initTestCase()
{
    QVERIFY(m_home.isValid() && m_settings.isValid());
    qputenv("HOME", m_home.path().toLocal8Bit());
    qunsetenv("XDG_DATA_HOME");
    // The stand-in crash handler beside this binary exits at once: this process is the handler.
    qunsetenv("OSTREL_STANDIN_DIR");
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_settings.path());
}

void tst_SubProcessPayload::listen()
{
    const QString name = QLatin1String("Kiv_Crash_Handler_") + QString::number(QCoreApplication::applicationPid());
    QLocalServer::removeServer(name);
    QVERIFY2(m_server.listen(name), qPrintable(m_server.errorString()));
}

// True once the library has connected and a complete frame has arrived. Takes nothing, so that
// QTRY may evaluate it any number of times.
bool tst_SubProcessPayload::frameArrived()
{
    if (!m_peer && m_server.hasPendingConnections())
        m_peer = m_server.nextPendingConnection();
    if (m_peer)
        m_buffer += m_peer->readAll();
    return m_buffer.contains('$');
}

// The oldest complete frame, without its 0x24.
QByteArray tst_SubProcessPayload::takeFrame()
{
    const int end = m_buffer.indexOf('$');
    const QByteArray frame = m_buffer.left(end);
    m_buffer.remove(0, end + 1);
    return frame;
}

void tst_SubProcessPayload::startCrash()
{
    Ostrel_SDK::StartCrash(QStringLiteral("client"), QString(), QString(), QStringLiteral("C:/Dumps"), 10, 2, QString());
}

void tst_SubProcessPayload::payloads()
{
    listen();
    Ostrel_SDK::subProcessInfo({subProcess("worker.exe", "renderer", "1.2", "D:/Dumps/w"),
                                subProcess("dup.exe", "first", "1", "A"),
                                subProcess("dup.exe", "second", "2", "B"),
                                subProcess("empty.exe", "", "", ""),
                                subProcess("esc.exe", "q\"b\\s\n\t\x01", "\xc3\xa9\xe2\x82\xac", "C:\\d/x")});
    startCrash();

    LogCapture capture;
    QByteArray frame;
    QTRY_VERIFY_WITH_TIMEOUT(frameArrived(), 20000);
    frame = takeFrame();
    QCOMPARE(frame, QByteArray()); // no cloud configuration stored

    const QByteArray tail = R"("appName":"worker.exe","dmpPath":"D:/Dumps/w","role":"renderer","status":%1,)"
                            R"("subLogFile":"C:/logs/w.log","subProcessPid":"4242","version":"1.2"})";
    for (int status : {0, 2, -1}) {
        Ostrel_SDK::subProcessPid(QStringLiteral("worker.exe"), QStringLiteral("4242"), QStringLiteral("C:/logs/w.log"), status);
        QTRY_VERIFY_WITH_TIMEOUT(frameArrived(), 20000);
        frame = takeFrame();
        QCOMPARE(frame, "subProcessInfo@{" + QString::fromLatin1(tail).arg(status).toUtf8());
    }

    // Status 1 also carries the start time, as the first member.
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    Ostrel_SDK::subProcessPid(QStringLiteral("worker.exe"), QStringLiteral("4242"), QStringLiteral("C:/logs/w.log"), 1);
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    QTRY_VERIFY_WITH_TIMEOUT(frameArrived(), 20000);
    frame = takeFrame();
    const QByteArray head = R"(subProcessInfo@{"SDKBeginTime":)";
    QVERIFY2(frame.startsWith(head), frame.constData());
    const int comma = frame.indexOf(',', head.size());
    bool ok = false;
    const qint64 beginTime = frame.mid(head.size(), comma - head.size()).toLongLong(&ok);
    QVERIFY2(ok && beginTime >= before && beginTime <= after, frame.constData());
    QCOMPARE(frame.mid(comma + 1), QString::fromLatin1(tail).arg(1).toUtf8());

    // The first of two records with the same name is the one used.
    Ostrel_SDK::subProcessPid(QStringLiteral("dup.exe"), QStringLiteral("7"), QString(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(frameArrived(), 20000);
    frame = takeFrame();
    QCOMPARE(frame, QByteArray(R"(subProcessInfo@{"appName":"dup.exe","dmpPath":"A","role":"first","status":0,)"
                               R"("subLogFile":"","subProcessPid":"7","version":"1"})"));

    // A name differing only in case is not found: nothing goes out before the next message.
    Ostrel_SDK::subProcessPid(QStringLiteral("Worker.exe"), QStringLiteral("1"), QString(), 0);
    Ostrel_SDK::subProcessPid(QStringLiteral("empty.exe"), QString(), QString(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(frameArrived(), 20000);
    frame = takeFrame();
    QCOMPARE(frame, QByteArray(R"(subProcessInfo@{"appName":"empty.exe","dmpPath":"","role":"","status":2,)"
                               R"("subLogFile":"","subProcessPid":"","version":""})"));

    // Strings are escaped as JSON requires, nothing more; non-ASCII goes out as UTF-8.
    Ostrel_SDK::subProcessPid(QStringLiteral("esc.exe"), QStringLiteral("9"), QString(), 3);
    QTRY_VERIFY_WITH_TIMEOUT(frameArrived(), 20000);
    QCOMPARE(takeFrame(), QByteArray(R"(subProcessInfo@{"appName":"esc.exe","dmpPath":"C:\\d/x","role":"q\"b\\s\n\t\u0001",)"
                                     R"("status":3,"subLogFile":"","subProcessPid":"9","version":")" "\xc3\xa9\xe2\x82\xac\"}"));

    QCOMPARE(capture.count(QStringLiteral("response: \"subProcessInfo@{"), QtInfoMsg), 7);
    QCOMPARE(capture.count(QString(), QtCriticalMsg), 0);
}

// Refused calls are lost: nothing is queued for a connection that comes up later.
void tst_SubProcessPayload::guardPaths()
{
    LogCapture capture;
    Ostrel_SDK::subProcessInfo({subProcess("worker.exe", "r", "v", "P")});

    Ostrel_SDK::subProcessPid(QStringLiteral("worker.exe"), QStringLiteral("1"), QString(), 0);
    QCOMPARE(capture.count(QStringLiteral("setSubProcessPid(const QString&, const QString&, const QString&, int) ] client pointer invalid."),
                           QtCriticalMsg), 1);

    startCrash(); // nobody listens yet: the first attempt fails
    QTRY_VERIFY_WITH_TIMEOUT(capture.contains(QStringLiteral("socket error:"), QtCriticalMsg), 20000);
    Ostrel_SDK::subProcessPid(QStringLiteral("worker.exe"), QStringLiteral("2"), QString(), 0);
    QCOMPARE(capture.count(QStringLiteral("client is not connected. QLocalSocket::UnconnectedState"), QtCriticalMsg), 1);

    listen();
    QByteArray frame;
    QTRY_VERIFY_WITH_TIMEOUT(frameArrived(), 20000);
    frame = takeFrame();
    QCOMPARE(frame, QByteArray());
    Ostrel_SDK::subProcessPid(QStringLiteral("worker.exe"), QStringLiteral("3"), QString(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(frameArrived(), 20000);
    frame = takeFrame();
    QCOMPARE(frame, QByteArray(R"(subProcessInfo@{"appName":"worker.exe","dmpPath":"P","role":"r","status":0,)"
                               R"("subLogFile":"","subProcessPid":"3","version":"v"})"));
    QCOMPARE(capture.count(QStringLiteral("response: \"subProcessInfo@")), 1);
}

QTEST_GUILESS_MAIN(tst_SubProcessPayload)
#include "tst_subprocesspayload.moc"
