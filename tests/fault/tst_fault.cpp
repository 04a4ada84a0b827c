// Fault injection with the fast reconnection policy (first attempt 200 ms, retries 150 ms apart):
// the crash handler killed mid-session, the client info file deleted, corrupted or made read-only
// between calls while the handler is connected, a home folder (and fallback folder) that cannot be
// written, and local-dump settings that cannot be read. In every case: no crash, the designed log
// lines, and every value that is promised still reaches the handler.
//
// The handler is the recording stand-in beside this binary. Permission faults need a process that
// permission checks apply to: as root the test drops its effective ids to nobody around the call.

#include "logcapture.h"

#include <OstrelSDK/ostrelsdk.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
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

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// Effective ids of nobody while alive, when running as root (root passes every permission check).
class AsNobody
{
public:
    AsNobody() : m_wasRoot(geteuid() == 0) { m_ok = m_wasRoot && setegid(65534) == 0 && seteuid(65534) == 0; }
    ~AsNobody()
    {
        if (m_wasRoot && (seteuid(0) != 0 || setegid(0) != 0))
            qFatal("cannot regain root");
    }
    bool ok() const { return m_ok; }

private:
    bool m_wasRoot;
    bool m_ok = false;
};

// Pids of the running stand-ins launched for this host (argument 1 is the host's pid).
QList<qint64> standInsForThisHost()
{
    QList<qint64> pids;
    const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        const QList<QByteArray> args = readAll(QStringLiteral("/proc/%1/cmdline").arg(entry)).split('\0');
        if (args.size() > 1 && args.at(0).endsWith("KivCrashHandler.exe") && args.at(1) == self
            && !readAll(QStringLiteral("/proc/%1/stat").arg(entry)).contains(") Z "))
            pids.append(pid);
    }
    return pids;
}

} // namespace

class tst_Fault : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void handlerKilledMidSession();
    void clientInfoFaultsWhileConnected();
    void homeAndFallbackNotWritable();
    void localDumpSettingsUnreadable();

private:
    // Has the stand-in record into m_records; returns the path of launch <n>'s received bytes.
    QString received(int n) const { return m_records.filePath(QStringLiteral("received-%1.bin").arg(n)); }
    void useStandIn() { qputenv("OSTREL_STANDIN_DIR", QFile::encodeName(m_records.path())); }
    QString clientInfoPath(const QString &client) const
    {
        return m_home.path() + QStringLiteral("/AppData/Local/OstrelSDK/KivClientInfo_%1_%2.xml")
                                       .arg(client).arg(QCoreApplication::applicationPid());
    }

    QTemporaryDir m_home;
    QTemporaryDir m_settings;
    QTemporaryDir m_records;
};

void tst_Fault::initTestCase()
{
    QVERIFY(m_home.isValid() && m_settings.isValid() && m_records.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    qunsetenv("OSTREL_STANDIN_DIR");
    qunsetenv("OSTREL_STANDIN_MODE");
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_settings.path());
}

void tst_Fault::cleanupTestCase()
{
    // The stand-ins leave when the host is gone; none may outlive the test by being killed late.
    for (qint64 pid : standInsForThisHost())
        ::kill(pid_t(pid), SIGKILL);
}

// SIGKILL of a connected handler: messages during the outage are refused with the designed line,
// the retries fail against the dead server, the budget relaunches the handler with the same command
// line, and the new one gets the cloud configuration again (the login is once per process), then
// every guarded message again.
void tst_Fault::handlerKilledMidSession()
{
    LogCapture capture;
    useStandIn();
    Ostrel_SDK::setCloudConfig(QStringLiteral("c1"), QStringLiteral("c2"));
    QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("k"), QStringLiteral("h1"), QString(), QStringLiteral("D:/d"), 1, 2, QString()));
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
    QTRY_COMPARE_WITH_TIMEOUT(readAll(received(1)), QByteArray("cloudConfig@c1@c2$ClientLogin@u1@@0$"), kDeadline);
    Ostrel_SDK::checkExceptionInfos(QStringLiteral("a"), QStringLiteral("b"));
    QTRY_COMPARE_WITH_TIMEOUT(readAll(received(1)), QByteArray("cloudConfig@c1@c2$ClientLogin@u1@@0$ExceptionCheck@a@b$"), kDeadline);

    const QList<qint64> first = standInsForThisHost();
    QCOMPARE(first.size(), 1);
    QCOMPARE(::kill(pid_t(first.first()), SIGKILL), 0);
    QTRY_VERIFY_WITH_TIMEOUT(capture.contains(QStringLiteral("try connect handler:  0 0")), kDeadline);

    // The outage: refused and lost, with the designed critical line.
    capture.clear();
    Ostrel_SDK::checkExceptionInfos(QStringLiteral("lost"), QStringLiteral("x"));
    QCOMPARE(capture.count(QStringLiteral("client is not connected. QLocalSocket::"), QtCriticalMsg), 1);

    // Six retries of the first start fail, then the handler is started again, same command line.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_records.filePath(QStringLiteral("launch-2.args"))), kDeadline);
    QVERIFY(capture.contains(QStringLiteral("try connect handler:  6 0")));
    QCOMPARE(readAll(m_records.filePath(QStringLiteral("launch-2.args"))),
             readAll(m_records.filePath(QStringLiteral("launch-1.args"))));
    QTRY_COMPARE_WITH_TIMEOUT(readAll(received(2)), QByteArray("cloudConfig@c1@c2$"), kDeadline);

    Ostrel_SDK::checkExceptionInfos(QStringLiteral("after"), QStringLiteral("kill"));
    Ostrel_SDK::exitClient();
    QTRY_COMPARE_WITH_TIMEOUT(readAll(received(2)), QByteArray("cloudConfig@c1@c2$ExceptionCheck@after@kill$ExitClient$"), kDeadline);
    QVERIFY(!readAll(received(1)).contains("lost"));
}

// The client info file breaks between calls while the handler is connected: each writer logs its
// failure and leaves the file as it found it, and the handler message of the same call still goes
// out. A deleted file is not recreated.
void tst_Fault::clientInfoFaultsWhileConnected()
{
    LogCapture capture;
    useStandIn();
    QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("f"), QString(), QString(), QString(), 1, 2, QString()));
    QTRY_COMPARE_WITH_TIMEOUT(readAll(received(1)), QByteArray("$"), kDeadline);
    const QString path = clientInfoPath(QStringLiteral("f"));
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
    const QByteArray good = readAll(path);
    QVERIFY(good.contains("id=\"u1\""));
    QByteArray wire = "$ClientLogin@u1@@0$";
    QTRY_COMPARE_WITH_TIMEOUT(readAll(received(1)), wire, kDeadline);

    // Deleted.
    QVERIFY(QFile::remove(path));
    capture.clear();
    Ostrel_SDK::setStreamNode(QStringLiteral("n1"), QStringLiteral("d1"));
    Ostrel_SDK::appendClientThirdpartyLogPath(QStringLiteral("/x.log"));
    // The append reads the list first (fails: empty), then tries to write the path alone.
    QCOMPARE(capture.count(QStringLiteral("KivOperateIni::setOption file open ReadOnly failure ") + quoted(path)), 2);
    QCOMPARE(capture.count(QStringLiteral("KivOperateIni::option file open ReadOnly failure ") + quoted(path)), 1);
    QVERIFY(!QFile::exists(path));
    wire += "StreamNode@n1@d1$";
    QTRY_COMPARE_WITH_TIMEOUT(readAll(received(1)), wire, kDeadline);

    // Corrupted (cut in the middle of a write by someone else): left exactly as it is.
    const QByteArray cut = good.left(good.size() / 2);
    QVERIFY(writeAll(path, cut));
    capture.clear();
    Ostrel_SDK::enterLive(QStringLiteral("L1"), QString(), true);
    Ostrel_SDK::appendClientThirdpartyLogPath(QStringLiteral("/x.log"));
    QCOMPARE(capture.count(QStringLiteral("KivOperateIni::setOption doc setContent failure")), 2);
    QCOMPARE(readAll(path), cut);
    wire += "ClientLogin@u1@L1@1$";
    QTRY_COMPARE_WITH_TIMEOUT(readAll(received(1)), wire, kDeadline);

    // Read-only.
    QVERIFY(writeAll(path, good));
    for (const QString &dir : {m_home.path(), m_home.path() + QStringLiteral("/AppData"),
                               m_home.path() + QStringLiteral("/AppData/Local"),
                               m_home.path() + QStringLiteral("/AppData/Local/OstrelSDK")})
        QVERIFY(QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ReadOther | QFile::ExeOther));
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    {
        AsNobody nobody;
        if (geteuid() == 0)
            QSKIP("cannot drop to an ordinary user");
        capture.clear();
        Ostrel_SDK::setStreamNode(QStringLiteral("n2"), QStringLiteral("d2"));
        QCOMPARE(capture.count(QStringLiteral("KivOperateIni::setOption file open WriteOnly Truncate failure ") + quoted(path)), 1);
    }
    QCOMPARE(readAll(path), good);
    wire += "StreamNode@n2@d2$";
    QTRY_COMPARE_WITH_TIMEOUT(readAll(received(1)), wire, kDeadline);

    // Usable again: so is the store.
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
    Ostrel_SDK::setStreamNode(QStringLiteral("n3"), QString());
    QVERIFY(readAll(path).contains("node=\"n3\""));
    QVERIFY(readAll(path).contains("id=\"u1\""));
}

// Neither the home data folder nor the fallback beside the executable can be written: the store is
// still bound (to the fallback path), every write logs its failure, no file appears anywhere, and
// the handler messages of the same calls still go out.
void tst_Fault::homeAndFallbackNotWritable()
{
    LogCapture capture;
    useStandIn();
    QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("h"), QString(), QString(), QString(), 1, 2, QString()));
    QTRY_COMPARE_WITH_TIMEOUT(readAll(received(1)), QByteArray("$"), kDeadline);
    QVERIFY(QFile::setPermissions(m_home.path(), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
    const QString fallbackFile = QCoreApplication::applicationDirPath()
            + QStringLiteral("/OstrelSDK/KivClientInfo_h_%1.xml").arg(QCoreApplication::applicationPid());
    {
        AsNobody nobody;
        if (geteuid() == 0)
            QSKIP("cannot drop to an ordinary user");
        if (::faccessat(AT_FDCWD, QFile::encodeName(QCoreApplication::applicationDirPath()).constData(), W_OK, AT_EACCESS) == 0)
            QSKIP("the executable's folder is writable: the fallback would work");
        Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
    }
    QCOMPARE(capture.count(QStringLiteral("KivOperateIni::initXml file open failure  ") + quoted(fallbackFile)), 1);
    QCOMPARE(capture.count(QStringLiteral("KivOperateIni::setOption file open ReadOnly failure ") + quoted(fallbackFile)), 1);

    capture.clear();
    Ostrel_SDK::setStreamNode(QStringLiteral("n1"), QString()); // back as root: still no file is created
    QCOMPARE(capture.count(QStringLiteral("KivOperateIni::setOption file open ReadOnly failure ") + quoted(fallbackFile)), 1);
    QVERIFY(!QFile::exists(fallbackFile));
    QVERIFY(QDir(m_home.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(readAll(received(1)), QByteArray("$ClientLogin@u1@@0$StreamNode@n1@$"), kDeadline);
}

// Local-dump settings that exist and match but cannot be read count as different: StartCrash
// queues the host's entry and has it registered, and a sub-process gets its entry appended.
void tst_Fault::localDumpSettingsUnreadable()
{
    LogCapture capture;
    const QString keyDir = m_settings.path() + QStringLiteral("/Microsoft\\Windows\\Windows Error Reporting\\LocalDumps");
    QVERIFY(QDir().mkpath(keyDir));
    const QByteArray matching = "[General]\nDumpFolder=D:\\\\d\nDumpCount=1\nDumpType=2\n";
    const QString host = keyDir + QLatin1Char('/') + QCoreApplication::applicationName() + QStringLiteral(".exe.ini");
    const QString worker = keyDir + QStringLiteral("/worker.exe.ini");
    QVERIFY(writeAll(host, matching));
    QVERIFY(writeAll(worker, matching));
    for (const QString &dir : {m_settings.path(), keyDir})
        QVERIFY(QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ReadOther | QFile::ExeOther));
    QVERIFY(QFile::setPermissions(host, QFileDevice::Permissions()));
    QVERIFY(QFile::setPermissions(worker, QFileDevice::Permissions()));

    SubProcess_Info sub;
    sub.appName = QStringLiteral("worker.exe");
    sub.dmpPath = QStringLiteral("D:\\d");
    sub.dmpCount = 1;
    sub.dmpType = 2;
    {
        AsNobody nobody;
        if (geteuid() == 0)
            QSKIP("cannot drop to an ordinary user");
        QVERIFY(Ostrel_SDK::StartCrash(QStringLiteral("w"), QString(), QString(), QStringLiteral("D:/d"), 1, 2, QString()));
        Ostrel_SDK::subProcessInfo({sub});
    }
    QVERIFY(!capture.contains(QStringLiteral("dmpCreatePath:")));
    const QString entry = QStringLiteral("{\\\"m_appName\\\":\\\"%1.exe\\\",\\\"m_count\\\":1,\\\"m_dmpPath\\\":\\\"D:\\\\\\\\d\\\",\\\"m_type\\\":2}")
                                  .arg(QCoreApplication::applicationName());
    QCOMPARE(capture.lines(QStringLiteral("start KivRegWER, args is:")),
             QStringList(QStringLiteral("[OstrelSDk] [ void checkCrashDmpWER(const QJsonArray&) ] start KivRegWER, args is: (\"[%1]\")").arg(entry)));
    QCOMPARE(capture.count(QStringLiteral("] append: \"worker.exe\"")), 1);

    // Readable again: the same values now count as registered.
    QVERIFY(QFile::setPermissions(worker, QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(writeAll(worker, matching));
    capture.clear();
    Ostrel_SDK::subProcessInfo({sub});
    QCOMPARE(capture.count(QStringLiteral("] dmpCreatePath: \"D:\\\\d\"")), 1);
}

QTEST_GUILESS_MAIN(tst_Fault)
#include "tst_fault.moc"
