// The "subProcessInfo@" handler message and the connection guard in front of it, read off the wire
// by a local server that this test process serves as its own crash handler ("Kiv_Crash_Handler_" +
// pid). StartCrash runs once per process, so the guard paths and the payloads share one test.

#include "logcapture.h"

#include <OstrelSDK/ostrelsdk.h>

#include <QDateTime>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

static SubProcess_Info subProcess(const char *appName, const char *role, const char *version, const char *dmpPath)
{
    return {QString::fromUtf8(appName), QString(), QString::fromUtf8(role), QString::fromUtf8(version), QString::fromUtf8(dmpPath)};
}

static void send(const char *appName, const char *pid, const char *logFile, int status)
{
    Ostrel_SDK::subProcessPid(QLatin1String(appName), QLatin1String(pid), QLatin1String(logFile), status);
}

class tst_SubProcessPayload : public QObject
{
    Q_OBJECT

private slots:
    void payloads();

private:
    QByteArray nextFrame();

    QLocalServer m_server;
    QLocalSocket *m_peer = nullptr;
    QByteArray m_buffer;
};

// The oldest complete frame without its '$', once the library has connected and written it.
QByteArray tst_SubProcessPayload::nextFrame()
{
    const bool arrived = QTest::qWaitFor([this] {
        if (!m_peer && m_server.hasPendingConnections())
            m_peer = m_server.nextPendingConnection();
        if (m_peer)
            m_buffer += m_peer->readAll();
        return m_buffer.contains('$');
    }, 20000);
    if (!arrived)
        return "<no frame>";
    const int end = m_buffer.indexOf('$');
    const QByteArray frame = m_buffer.left(end);
    m_buffer.remove(0, end + 1);
    return frame;
}

void tst_SubProcessPayload::payloads()
{
    QTemporaryDir home, settings;
    QVERIFY(home.isValid() && settings.isValid());
    qputenv("HOME", home.path().toLocal8Bit());
    qunsetenv("XDG_DATA_HOME");
    qunsetenv("OSTREL_STANDIN_DIR"); // the stand-in handler beside this binary exits at once
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, settings.path());
    LogCapture capture;
    Ostrel_SDK::subProcessInfo({subProcess("worker.exe", "renderer", "1.2", "D:/Dumps/w"), subProcess("dup.exe", "first", "1", "A"),
                                subProcess("dup.exe", "second", "2", "B"), subProcess("empty.exe", "", "", ""),
                                subProcess("esc.exe", "q\"b\\s\n\t\x01", "\xc3\xa9\xe2\x82\xac", "C:\\d/x")});

    // Refused calls are lost: nothing is queued for the connection that comes up later.
    send("worker.exe", "1", "", 0);
    QCOMPARE(capture.count(QStringLiteral("setSubProcessPid(const QString&, const QString&, const QString&, int) ] client pointer invalid."),
                           QtCriticalMsg), 1);
    Ostrel_SDK::StartCrash(QStringLiteral("client"), QString(), QString(), QStringLiteral("C:/Dumps"), 10, 2, QString());
    QTRY_VERIFY_WITH_TIMEOUT(capture.contains(QStringLiteral("socket error:"), QtCriticalMsg), 20000); // nobody listens yet
    send("worker.exe", "2", "", 0);
    QCOMPARE(capture.count(QStringLiteral("client is not connected. QLocalSocket::UnconnectedState"), QtCriticalMsg), 1);
    const QString name = QLatin1String("Kiv_Crash_Handler_") + QString::number(QCoreApplication::applicationPid());
    QLocalServer::removeServer(name);
    QVERIFY2(m_server.listen(name), qPrintable(m_server.errorString()));
    QCOMPARE(nextFrame(), QByteArray()); // the login: no cloud configuration stored
    capture.clear();

    const QByteArray worker = R"("appName":"worker.exe","dmpPath":"D:/Dumps/w","role":"renderer","status":%1,)"
                              R"("subLogFile":"C:/logs/w.log","subProcessPid":"4242","version":"1.2"})";
    for (int status : {0, 2, -1}) {
        send("worker.exe", "4242", "C:/logs/w.log", status);
        QCOMPARE(nextFrame(), "subProcessInfo@{" + QString::fromLatin1(worker).arg(status).toUtf8());
    }
    // Status 1 also carries the start time, as the first member.
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    send("worker.exe", "4242", "C:/logs/w.log", 1);
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    const QByteArray frame = nextFrame();
    bool timeInRange = false;
    for (qint64 t = before; t <= after; ++t)
        timeInRange |= frame == R"(subProcessInfo@{"SDKBeginTime":)" + QByteArray::number(t) + ',' + QString::fromLatin1(worker).arg(1).toUtf8();
    QVERIFY2(timeInRange, frame.constData());

    // The first of two records with the same name is used; a name differing only in case is not
    // found, so nothing goes out before the next message; empty strings; JSON escaping and UTF-8.
    send("dup.exe", "7", "", 0);
    QCOMPARE(nextFrame(), QByteArray(R"(subProcessInfo@{"appName":"dup.exe","dmpPath":"A","role":"first","status":0,)"
                                     R"("subLogFile":"","subProcessPid":"7","version":"1"})"));
    send("Worker.exe", "1", "", 0);
    send("empty.exe", "", "", 2);
    QCOMPARE(nextFrame(), QByteArray(R"(subProcessInfo@{"appName":"empty.exe","dmpPath":"","role":"","status":2,)"
                                     R"("subLogFile":"","subProcessPid":"","version":""})"));
    send("esc.exe", "9", "", 3);
    QCOMPARE(nextFrame(), QByteArray(R"(subProcessInfo@{"appName":"esc.exe","dmpPath":"C:\\d/x","role":"q\"b\\s\n\t\u0001",)"
                                     R"("status":3,"subLogFile":"","subProcessPid":"9","version":")" "\xc3\xa9\xe2\x82\xac\"}"));

    QCOMPARE(capture.count(QStringLiteral("response: \"subProcessInfo@{"), QtInfoMsg), 7);
    QCOMPARE(capture.count(QString(), QtCriticalMsg), 0);
}

QTEST_GUILESS_MAIN(tst_SubProcessPayload)
#include "tst_subprocesspayload.moc"
