// Every exported function before StartCrash: no handler, no socket, the logging switch as the very
// first call that reaches the crash manager, every export twice in a row.

#include "crashmanage/crashmanage.h"
#include "logcapture.h"
#include "testfiles.h"

#include <OstrelSDK/ostrelsdk.h>

#include <QtTest>

class tst_Sdk : public QObject
{
    Q_OBJECT

private slots:
    // The shape of each kind of SDK log line is pinned where it is written (guard, messages, retries,
    // replies, registration); here: every export before StartCrash, with the switch off, then on.
    void everyExportBeforeStartCrash()
    {
        QTemporaryDir home;
        TestFiles::usePrivateFolders(home.path(), home.path());
        LogCapture capture;

        // Asked from another thread first: had that created the crash manager, it would belong there.
        QString version;
        QScopedPointer<QThread> thread(QThread::create([&version] { version = Ostrel_SDK::getOstrelVersion(); }));
        thread->start();
        QVERIFY(thread->wait(10000));
        QCOMPARE(version, QStringLiteral("3.3.0"));

        Ostrel_SDK::logSwitch(false);
        QCOMPARE(CrashManage::instance()->thread(), QThread::currentThread());
        Ostrel_SDK::checkExceptionInfos("a", "b");
        Ostrel_SDK::setClientLogPath("/logs/host.log");
        QCOMPARE(capture.lines(), QStringList("Ostrel writeIniFileClientLogInfo \"/logs/host.log\"") + capture.lines("KivOperateIni::"));
        capture.clear();

        for (int round = 0; round < 2; ++round) {
            Ostrel_SDK::logSwitch(true);
            Ostrel_SDK::exitClient();
            Ostrel_SDK::subProcessPid("w.exe", "1", QString(), 1);
            Ostrel_SDK::enterLive(QString(), "ignored", true);
            Ostrel_SDK::checkExceptionInfos("a", "b");
            Ostrel_SDK::setStreamNode("n", "x");
            Ostrel_SDK::setUserInfo(QString(), QString());
            Ostrel_SDK::quitLive();
            Ostrel_SDK::setCloudConfig("c1", QString());
            Ostrel_SDK::subProcessInfo({});
            Ostrel_SDK::setClientLogPath("/logs/host.log");
            Ostrel_SDK::appendClientThirdpartyLogPath("/logs/other.log");
        }
        Ostrel_SDK::setUserInfo("u1", "ignored");

        // Without a socket every message is refused by the first check of the guard.
        const QString guard = "[OstrelSDk] [ void CrashManage::%1 ] client pointer invalid.";
        for (const char *op : {"exitClient()", "checkExceptionInfos(const QString&, const QString&)", "streamNode(const QString&, const QString&)",
                               "enterLive(const QString&, bool)", "setSubProcessPid(const QString&, const QString&, const QString&, int)"})
            QCOMPARE(capture.lines(guard.arg(op), QtCriticalMsg), QStringList({guard.arg(op), guard.arg(op)}));
        QCOMPARE(capture.count("] Live Id is Empty.", QtCriticalMsg), 2);
        QCOMPARE(capture.count("] User Id is Empty.", QtCriticalMsg), 4); // from enterLive (no user yet) and setUserInfo("")
        QCOMPARE(capture.count("] response: \"cloudConfig@c1@\"", QtInfoMsg), 2);
        // The login is recorded but not marked as sent (no socket), and carries the "empty" live id.
        QCOMPARE(capture.lines("sendClientLoginInfo"), QStringList("[OstrelSDk] [ void CrashManage::sendClientLoginInfo() ] "
                                                                   "sendClientLoginInfo, response: \"ClientLogin@u1@empty@0\" false"));
        QVERIFY(capture.contains("] client clientLogin", QtInfoMsg));
        QVERIFY(!capture.contains("KivCrashHandler Path:")); // no StartCrash: no handler launch
        QVERIFY(!capture.tagged().join('\n').contains("context "));
    }
};

QTEST_GUILESS_MAIN(tst_Sdk)
#include "tst_sdk.moc"
