// Fault injection with the fast reconnection policy: the crash handler killed mid-session, the
// client info file broken between calls while connected, home and fallback folders that cannot be
// written, and local-dump settings that cannot be read. The handler is the recording stand-in
// beside this binary. Permission faults need a process that permission checks apply to: as root
// the test drops its effective ids to nobody around the call.

#include "asordinaryuser.h"
#include "logcapture.h"

#include <OstrelSDK/ostrelsdk.h>

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

constexpr int kDeadline = 30000;

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Running stand-ins launched for this host (argument 1 is the host's pid).
QList<qint64> standInsForThisHost()
{
    QList<qint64> pids;
    const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QList<QByteArray> args = readAll(QStringLiteral("/proc/%1/cmdline").arg(entry)).split('\0');
        if (args.size() > 1 && args.at(0).endsWith("KivCrashHandler.exe") && args.at(1) == self)
            pids.append(entry.toLongLong());
    }
    return pids;
}

} // namespace

class tst_Fault : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home, m_settings, m_records;

    QByteArray received(int n) const { return readAll(m_records.filePath(QStringLiteral("received-%1.bin").arg(n))); }
    void startWithStandIn(const QString &client, const QByteArray &first = "$")
    {
        qputenv("OSTREL_STANDIN_DIR", QFile::encodeName(m_records.path()));
        QVERIFY(Ostrel_SDK::StartCrash(client, QString(), QString(), QString(), 1, 2, QString()));
        QTRY_COMPARE_WITH_TIMEOUT(received(1), first, kDeadline);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid() && m_settings.isValid() && m_records.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qunsetenv("OSTREL_STANDIN_DIR");
        qunsetenv("OSTREL_STANDIN_MODE");
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_settings.path());
    }

    void cleanupTestCase()
    {
        for (qint64 pid : standInsForThisHost())
            ::kill(pid_t(pid), SIGKILL);
    }

    // Messages during the outage are refused, not queued; the relaunched handler gets the cloud
    // configuration again but not the login (once per process), then the later messages.
    void handlerKilledMidSession()
    {
        LogCapture capture;
        Ostrel_SDK::setCloudConfig(QStringLiteral("c1"), QStringLiteral("c2"));
        startWithStandIn(QStringLiteral("k"), "cloudConfig@c1@c2$");
        Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
        Ostrel_SDK::checkExceptionInfos(QStringLiteral("a"), QStringLiteral("b"));
        QTRY_COMPARE_WITH_TIMEOUT(received(1), QByteArray("cloudConfig@c1@c2$ClientLogin@u1@@0$ExceptionCheck@a@b$"), kDeadline);

        const QList<qint64> first = standInsForThisHost();
        QCOMPARE(first.size(), 1);
        QCOMPARE(::kill(pid_t(first.first()), SIGKILL), 0);
        QTRY_VERIFY_WITH_TIMEOUT(capture.contains(QStringLiteral("try connect handler:  0 0")), kDeadline);
        capture.clear();
        Ostrel_SDK::checkExceptionInfos(QStringLiteral("lost"), QStringLiteral("x"));
        QCOMPARE(capture.count(QStringLiteral("client is not connected. QLocalSocket::"), QtCriticalMsg), 1);

        QTRY_COMPARE_WITH_TIMEOUT(received(2), QByteArray("cloudConfig@c1@c2$"), kDeadline);
        Ostrel_SDK::checkExceptionInfos(QStringLiteral("after"), QStringLiteral("kill"));
        Ostrel_SDK::exitClient();
        QTRY_COMPARE_WITH_TIMEOUT(received(2), QByteArray("cloudConfig@c1@c2$ExceptionCheck@after@kill$ExitClient$"), kDeadline);
    }

    // Each writer's store failure through the exported call: the file is left as the fault left it,
    // and the handler message of the same call still goes out. (The store's own lines for each fault
    // are pinned by the client info tests.)
    void clientInfoFaultsWhileConnected()
    {
        startWithStandIn(QStringLiteral("f"));
        const QString dir = m_home.path() + QStringLiteral("/AppData/Local/OstrelSDK");
        const QString path = dir + QStringLiteral("/KivClientInfo_f_%1.xml").arg(QCoreApplication::applicationPid());
        Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
        const QByteArray good = readAll(path);
        QVERIFY(good.contains("id=\"u1\""));
        QByteArray wire = "$ClientLogin@u1@@0$";
        for (QString d = dir; d.startsWith(m_home.path()); d = QFileInfo(d).path()) // let nobody reach the file
            QVERIFY(QFile::setPermissions(d, QFile::permissions(d) | QFile::ReadOther | QFile::ExeOther));

        const QByteArray cut = good.left(good.size() / 2); // a write by someone else, cut short
        const QFile::Permissions readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther;
        const struct { const char *fault; QByteArray content; QFile::Permissions mode; void (*call)(); const char *frame; QString line; } faults[] = {
            {"deleted", QByteArray(), readable, [] { Ostrel_SDK::setStreamNode(QStringLiteral("n1"), QStringLiteral("d1")); },
             "StreamNode@n1@d1$", QStringLiteral("setOption file open ReadOnly failure \"%1\"").arg(path)},
            {"corrupted", cut, readable, [] { Ostrel_SDK::enterLive(QStringLiteral("L1"), QString(), true); },
             "ClientLogin@u1@L1@1$", QStringLiteral("setOption doc setContent failure")},
            {"read-only", good, QFile::ReadOwner | QFile::ReadOther, [] { Ostrel_SDK::setStreamNode(QStringLiteral("n2"), QStringLiteral("d2")); },
             "StreamNode@n2@d2$", QStringLiteral("setOption file open WriteOnly Truncate failure \"%1\"").arg(path)},
        };
        for (const auto &f : faults) {
            QVERIFY2(f.content.isNull() ? QFile::remove(path) : writeAll(path, f.content) && QFile::setPermissions(path, f.mode), f.fault);
            LogCapture capture;
            {
                AsOrdinaryUser user;
                QVERIFY(user.ok);
                f.call();
            }
            QVERIFY2(capture.count(QStringLiteral("KivOperateIni::") + f.line) == 1, f.fault);
            QVERIFY2(QFile::exists(path) == !f.content.isNull() && readAll(path) == f.content, f.fault);
            wire += f.frame;
            QTRY_COMPARE_WITH_TIMEOUT(received(1), wire, kDeadline);
        }
    }

    // The store stays bound to the fallback path: writes fail with their lines, no file appears
    // anywhere, and the handler message still goes out.
    void homeAndFallbackNotWritable()
    {
        LogCapture capture;
        startWithStandIn(QStringLiteral("h"));
        QVERIFY(QFile::setPermissions(m_home.path(), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
        const QString binDir = QCoreApplication::applicationDirPath();
        const QString fallbackFile = binDir + QStringLiteral("/OstrelSDK/KivClientInfo_h_%1.xml").arg(QCoreApplication::applicationPid());
        {
            AsOrdinaryUser user;
            QVERIFY(user.ok);
            if (::faccessat(AT_FDCWD, QFile::encodeName(binDir).constData(), W_OK, AT_EACCESS) == 0)
                QSKIP("the executable's folder is writable: the fallback would work");
            Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
        }
        QCOMPARE(capture.count(QStringLiteral("KivOperateIni::initXml file open failure  \"%1\"").arg(fallbackFile)), 1);
        QCOMPARE(capture.count(QStringLiteral("KivOperateIni::setOption file open ReadOnly failure \"%1\"").arg(fallbackFile)), 1);
        QVERIFY(!QFile::exists(fallbackFile));
        QVERIFY(QDir(m_home.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(received(1), QByteArray("$ClientLogin@u1@@0$"), kDeadline);
    }

    // Settings that exist and match but cannot be read count as different: StartCrash has the host's
    // entry registered, and a sub-process gets its entry appended.
    void localDumpSettingsUnreadable()
    {
        LogCapture capture;
        const QString keyDir = m_settings.path() + QStringLiteral("/Microsoft\\Windows\\Windows Error Reporting\\LocalDumps");
        QVERIFY(QDir().mkpath(keyDir));
        const QByteArray matching = "[General]\nDumpFolder=D:\\\\d\nDumpCount=1\nDumpType=2\n";
        const QString worker = keyDir + QStringLiteral("/worker.exe.ini");
        for (const QString &ini : {keyDir + QLatin1Char('/') + QCoreApplication::applicationName() + QStringLiteral(".exe.ini"), worker})
            QVERIFY(writeAll(ini, matching) && QFile::setPermissions(ini, QFileDevice::Permissions()));
        for (const QString &dir : {m_settings.path(), keyDir})
            QVERIFY(QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ReadOther | QFile::ExeOther));

        const SubProcess_Info sub {QStringLiteral("worker.exe"), QString(), QString(), QString(), QStringLiteral("D:\\d"), 2, 1};
        {
            AsOrdinaryUser user;
            QVERIFY(user.ok);
            QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("w"), QString(), QString(), QStringLiteral("D:/d"), 1, 2, QString()));
            Ostrel_SDK::subProcessInfo({sub});
        }
        QVERIFY(!capture.contains(QStringLiteral("dmpCreatePath:")));
        const QString onlyHost = QStringLiteral("] start KivRegWER, args is: (\"[{\\\"m_appName\\\":\\\"%1.exe\\\",\\\"m_count\\\":1,"
                                                "\\\"m_dmpPath\\\":\\\"D:\\\\\\\\d\\\",\\\"m_type\\\":2}]\")");
        QCOMPARE(capture.count(QStringLiteral("start KivRegWER")), 1);
        QCOMPARE(capture.count(onlyHost.arg(QCoreApplication::applicationName())), 1);
        QCOMPARE(capture.count(QStringLiteral("] append: \"worker.exe\"")), 1);

        // Readable again: the same values count as registered.
        QVERIFY(QFile::setPermissions(worker, QFile::ReadOwner));
        capture.clear();
        Ostrel_SDK::subProcessInfo({sub});
        QCOMPARE(capture.count(QStringLiteral("] dmpCreatePath: \"D:\\\\d\"")), 1);
    }
};

QTEST_GUILESS_MAIN(tst_Fault)
#include "tst_fault.moc"
