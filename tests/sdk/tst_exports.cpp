// The exported functions before StartCrash and in odd orders, the version string and the logging
// switch. Each test function runs in its own process (one CTest entry each): the library's state is
// once per process.

#include "crashmanage/crashmanage.h"
#include "logcapture.h"

#include <OstrelSDK/ostrelsdk.h>

#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

class tst_Exports : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void versionCreatesNoCrashManage();
    void everyExportBeforeStartCrash();
    void logSwitchOffSilencesSdkLinesOnly();

private:
    QTemporaryDir m_home;
};

void tst_Exports::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toLocal8Bit());
    qputenv("OSTREL_WER_SETTINGS_DIR", m_home.path().toLocal8Bit());
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_home.path());
}

void tst_Exports::versionCreatesNoCrashManage()
{
    // Asked from another thread first: had that created the crash manager, it would belong there.
    QString version;
    QThread *thread = QThread::create([&version] { version = Ostrel_SDK::getOstrelVersion(); });
    thread->start();
    QVERIFY(thread->wait(10000));
    delete thread;
    QCOMPARE(version, QStringLiteral("3.3.0"));
    QCOMPARE(CrashManage::instance()->thread(), QThread::currentThread());
}

void tst_Exports::everyExportBeforeStartCrash()
{
    LogCapture capture;
    for (int round = 0; round < 2; ++round) {
        Ostrel_SDK::exitClient();
        Ostrel_SDK::subProcessPid(QStringLiteral("w.exe"), QStringLiteral("1"), QString(), 1);
        Ostrel_SDK::enterLive(QString(), QStringLiteral("ignored"), true);
        Ostrel_SDK::checkExceptionInfos(QStringLiteral("a"), QStringLiteral("b"));
        Ostrel_SDK::setStreamNode(QStringLiteral("n"), QStringLiteral("x"));
        Ostrel_SDK::setUserInfo(QString(), QString());
        Ostrel_SDK::quitLive();
        Ostrel_SDK::setCloudConfig(QStringLiteral("c1"), QString());
        Ostrel_SDK::subProcessInfo({});
        Ostrel_SDK::setClientLogPath(QStringLiteral("/tmp/log"));
        Ostrel_SDK::appendClientThirdpartyLogPath(QStringLiteral("/tmp/other"));
        Ostrel_SDK::logSwitch(true);
    }
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QStringLiteral("ignored"));

    // Without a socket every message is refused by the first check of the guard.
    const QString guard = QStringLiteral("[OstrelSDk] [ void CrashManage::%1 ] client pointer invalid.");
    for (const char *op : {"exitClient()", "checkExceptionInfos(const QString&, const QString&)",
                           "streamNode(const QString&, const QString&)", "enterLive(const QString&, bool)"}) {
        const QString line = guard.arg(QLatin1String(op));
        QCOMPARE(capture.lines(line, QtCriticalMsg), QStringList({line, line}));
    }
    QCOMPARE(capture.count(QStringLiteral("] Live Id is Empty."), QtCriticalMsg), 2);
    // Twice from enterLive (no user yet), twice from setUserInfo with an empty id.
    QCOMPARE(capture.count(QStringLiteral("] User Id is Empty."), QtCriticalMsg), 4);
    QCOMPARE(capture.count(QStringLiteral("] response: \"cloudConfig@c1@\""), QtInfoMsg), 2);
    // The login is recorded but not marked as sent (no socket), and carries the "empty" live id.
    QCOMPARE(capture.lines(QStringLiteral("sendClientLoginInfo")),
             QStringList(QStringLiteral("[OstrelSDk] [ void CrashManage::sendClientLoginInfo() ] "
                                        "sendClientLoginInfo, response: \"ClientLogin@u1@empty@0\" false")));
    QVERIFY(capture.contains(QStringLiteral("] client clientLogin"), QtInfoMsg));
    // No StartCrash, so no handler launch and no connection attempt, whatever else was called.
    QVERIFY(!capture.contains(QStringLiteral("KivCrashHandler Path:")));
    for (const LogCapture::Entry &e : capture.entries())
        QVERIFY2(!e.hasContext, qPrintable(e.text));
}

void tst_Exports::logSwitchOffSilencesSdkLinesOnly()
{
    LogCapture capture;
    Ostrel_SDK::logSwitch(false); // the very first call
    Ostrel_SDK::checkExceptionInfos(QStringLiteral("a"), QStringLiteral("b"));
    Ostrel_SDK::setUserInfo(QString(), QString());
    Ostrel_SDK::setCloudConfig(QStringLiteral("c1"), QStringLiteral("c2"));
    Ostrel_SDK::setClientLogPath(QStringLiteral("/tmp/log"));
    qDebug("plain");
    QVERIFY(!capture.contains(QStringLiteral("[OstrelSDk]")));
    QVERIFY(capture.contains(QStringLiteral("Ostrel writeIniFileClientLogInfo"), QtDebugMsg));
    QVERIFY(capture.contains(QStringLiteral("plain"), QtDebugMsg));

    Ostrel_SDK::logSwitch(true);
    Ostrel_SDK::checkExceptionInfos(QStringLiteral("a"), QStringLiteral("b"));
    QCOMPARE(capture.count(QStringLiteral("[OstrelSDk]")), 1);
    QVERIFY(capture.contains(QStringLiteral("client pointer invalid."), QtCriticalMsg));
}

QTEST_GUILESS_MAIN(tst_Exports)
#include "tst_exports.moc"
