// The client info file: the KivOperateIni store on its own (the initial bytes, binding, reads and
// writes with their debug lines, values that need escaping, files that change between calls), and
// the writers behind the exported functions (the file's name and folder, each writer's attribute and
// line, the third-party path list). One CTest entry per function: the writers' store and file name
// are fixed once per process.

#include "OstrelSDK/ostrelsdk.h"
#include "asordinaryuser.h"
#include "clientinfo/clientinfowriters.h"
#include "clientinfo/kivoperateini.h"
#include "clientinfo/staleclientinfo.h"
#include "logcapture.h"
#include "testfiles.h"
#include "sdk/sdklog.h"

#include <QLocalServer>
#include <QtTest>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

// Windows takes the home folder from the user's profile, not from HOME: the data folder is shared by
// every process of the user, so what the folder holds cannot be pinned there.
#define SKIP_WHERE_DATA_FOLDER_SHARED() SKIP_ON_WINDOWS("the data folder is the user profile's, shared by every test process")

using namespace ClientInfoFile;
using namespace TestFiles;

namespace {

const QString kGroup = QStringLiteral("ClientInfo");
const QString kPid = QString::number(QCoreApplication::applicationPid());

// The pid of a process that ran and has ended (and was reaped).
qint64 endedPid()
{
    QProcess process;
    process.start(QStringLiteral("true"), QStringList());
    const qint64 pid = process.waitForStarted() ? process.processId() : 0;
    return process.waitForFinished() ? pid : 0;
}

void startCrash(const char *clientName)
{
    QVERIFY(Ostrel_SDK::StartCrash(clientName, "p1", "p2", "C:/dumps", 5, 2, "p3"));
}

} // namespace

class tst_ClientInfo : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QString m_data; // the data folder below the private home

private slots:
    void initTestCase()
    {
        sdkSetLogEnabled(false); // the client info lines are not gated by the SDK logging switch
        // The home folder holds "%1" and "%2": only the file name template may be substituted.
        const QString home = m_tmp.filePath(QStringLiteral("home %1 %2"));
        QVERIFY(QDir().mkpath(home));
        usePrivateFolders(home, m_tmp.filePath(QStringLiteral("wer")));
        m_data = QDir::homePath() + QStringLiteral("/AppData/Local/OstrelSDK");
    }

    // The store on its own: unbound, bound to a file it cannot open (as a deleted one), to a new and
    // to an existing file, argument checks, then a file cut short and read-only between calls. Every line it
    // writes is a plain debug line. (Values that need escaping, and files of any content: the fuzz
    // target fuzz_clientinfostore.)
    void store()
    {
        QVERIFY(QFile::setPermissions(m_tmp.path(), QFile::permissions(m_tmp.path()) | QFile::ReadOther | QFile::ExeOther));
        const QString path = m_tmp.filePath(QStringLiteral("c.xml"));
        const QString missing = m_tmp.filePath(QStringLiteral("no/such/c.xml"));
        LogCapture capture;
        // The lines since the last call, "|"-separated, with "-KivOperateIni::" cut off.
        const auto logged = [&capture, &path, &missing] {
            const QString lines = capture.tagged().join('|').remove("-KivOperateIni::").replace(path, "<path>").replace(missing, "<missing>");
            capture.clear();
            return lines;
        };
        KivOperateIni store;
        store.initXml(QString(), true);
        store.setOption("id", "x", kGroup);
        QCOMPARE(store.option("id", kGroup), QString());
        QCOMPARE(logged(), QString(R"(initXml  "" true|initXml path is empty.|setOption path is empty.|option path is empty.)"));
        store.initXml(missing, false); // still bound: no file is created by a later write
        store.setOption("id", "x", kGroup);
        QCOMPARE(store.option("id", kGroup), QString());
        QVERIFY(!QFile::exists(missing));
        QCOMPARE(logged(), QString(R"(initXml  "<missing>" false|initXml file open failure  "<missing>"|setOption file open ReadOnly failure "<missing>"|)"
                                   R"(option file open ReadOnly failure "<missing>")"));
        store.initXml(path, true); // keepExisting on a missing file creates it
        QVERIFY2(isInitial(readAll(path)), readAll(path).constData());
        const QByteArray withValues = "<?xml version='1.0' encoding='UTF-8'?>\n<ClientInfo id=\"u1\" node=\"n\"/>\n";
        QVERIFY(writeAll(path, withValues));
        store.initXml(path, true); // and leaves an existing one untouched
        QCOMPARE(readAll(path), withValues);
        QCOMPARE(logged(), QString(R"(initXml  "<path>" true|initXml file success "<path>"|initXml  "<path>" true|initXml exit  "<path>" true)"));
        store.initXml(QString(), false); // keeps the binding
        QCOMPARE(store.option("node", "Other"), QStringLiteral("n")); // any non-empty group is the document element
        store.setOption(QString(), "v", QString()); // checks run path, group, key; the first failure is logged
        store.setOption(QString(), "v", kGroup);
        QCOMPARE(store.option(QString(), QString()), QString());
        QCOMPARE(store.option(QString(), kGroup), QString());
        QCOMPARE(logged(), QString(R"(initXml  "" false|initXml path is empty.|Option success "Other" "node" "n"|setOption group is empty.|)"
                           R"(setOption key is empty.|option group is empty.|option key is empty.)"));
        store.initXml(path, false); // emptied back to the initial document
        QVERIFY2(isInitial(readAll(path)), readAll(path).constData());
        store.setOption("id", "u1", kGroup);
        QCOMPARE(logged(), QString(R"(initXml  "<path>" false|initXml file success "<path>"|setOption success "ClientInfo" "id" "u1")"));

        const QByteArray good = readAll(path);
        QVERIFY(writeAll(path, good.left(good.size() / 2))); // a write cut short: left exactly as it is
        store.setOption("id", "u2", kGroup);
        QCOMPARE(store.option("id", kGroup), QString());
        QCOMPARE(readAll(path), good.left(good.size() / 2));
        QCOMPARE(logged(), QString("setOption doc setContent failure|option doc setContent failure"));
        if (!AsOrdinaryUser::canDenyAccess)
            QSKIP("read-only and unreadable files need access control lists here, which the test does not set");
        QVERIFY(writeAll(path, good) && QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadOther));
        {   // Read-only: the change is dropped, the former content stays, reads still work.
            AsOrdinaryUser user;
            QVERIFY(user.ok);
            store.setOption("id", "u2", kGroup);
            QCOMPARE(store.option("id", kGroup), QStringLiteral("u1"));
        }
        QCOMPARE(readAll(path), good);
        QCOMPARE(logged(), QString(R"(setOption file open WriteOnly Truncate failure "<path>"|Option success "ClientInfo" "id" "u1")"));
    }

    void fileNamedAfterStartCrash()
    {
        SKIP_WHERE_DATA_FOLDER_SHARED();
        // An ended host's file there: the first StartCrash removes it, on the next event-loop pass.
        const QString stale = m_data + QStringLiteral("/KivClientInfo_old_%1.xml").arg(endedPid());
        QVERIFY(writeAll(stale, "<ClientInfo/>"));
        {
            LogCapture capture;
            startCrash("first");
            startCrash("demo"); // the latest name before the first writer counts
            QCOMPARE(capture.lines("writeIniFile", QtDebugMsg), QStringList({"writeIniFile \"first\" \"" + kPid + '"', "writeIniFile \"demo\" \"" + kPid + '"'}));
            QTRY_COMPARE(capture.lines("Ostrel removed", QtDebugMsg), QStringList("Ostrel removed the client info file of an ended host \"" + stale + '"'));
            QCOMPARE(QDir(m_data).entryList(QDir::Files), QStringList()); // StartCrash alone writes no file
        }
        // Each exported call, the attribute it leaves behind (a line end in it escaped), and its writer's line.
        const struct { void (*call)(); const char *key, *value, *line; } steps[] = {
            {[] { Ostrel_SDK::setClientLogPath("C:/l og\n\"x\""); }, "logPath", "C:/l og\n\"x\"", "writeIniFileClientLogInfo \"C:/l og\\n\\\"x\\\"\""},
            {[] { Ostrel_SDK::setUserInfo("u1", "not stored"); }, "id", "u1", "writeIniFileUserInfo \"u1\""},
            {[] { Ostrel_SDK::enterLive("L1", "not stored", true); }, "liveid", "L1", "writeIniFileLiveInfo \"L1\" true"},
            {[] { Ostrel_SDK::quitLive(); }, "liveid", "", "writeIniFileLiveInfo \"\" false"},
            {[] { Ostrel_SDK::enterLive("L2", QString(), false); }, "liveid", "L2", "writeIniFileLiveInfo \"L2\" true"},
            {[] { Ostrel_SDK::enterLive(QString(), QString(), true); }, "liveid", "", "writeIniFileLiveInfo \"\" true"},
            {[] { Ostrel_SDK::setStreamNode(QString(), "detail"); }, "node", "", "writeIniFileStreamNodeInfo \"\""},
            {[] { Ostrel_SDK::setStreamNode("n1", "detail"); }, "node", "n1", "writeIniFileStreamNodeInfo \"n1\""},
        };
        const QString path = m_data + QStringLiteral("/KivClientInfo_demo_%1.xml").arg(kPid);
        for (const auto &step : steps) {
            LogCapture capture;
            step.call();
            QCOMPARE(attributes(path).value(step.key, "<absent>"), QString(step.value));
            QCOMPARE(capture.lines("Ostrel ", QtDebugMsg), QStringList(QStringLiteral("Ostrel ") + step.line));
            // Only the first writer creates the file, afresh.
            QCOMPARE(capture.count("KivOperateIni::initXml file success", QtDebugMsg), int(&step == steps));
        }
        startCrash("late"); // the store keeps its path
        Ostrel_SDK::setClientLogPath("E:/last"); // replaced whole
        QCOMPARE(QDir(m_data).entryList(QDir::Files), QStringList({QFileInfo(path).fileName()}));
        QCOMPARE(attributes(path), initialWith({{"logPath", "E:/last"}, {"id", "u1"}, {"node", "n1"}}));
    }

    void zeroNameAndThirdpartyAppendRules()
    {
        SKIP_WHERE_DATA_FOLDER_SHARED();
        // A writer before StartCrash names the file KivClientInfo_0_0.xml for good; a file of that name
        // left by an earlier process is emptied by the first write.
        const QString path = m_data + QStringLiteral("/KivClientInfo_0_0.xml");
        QVERIFY(writeAll(path, "<?xml version=\"1.0\"?>\n<ClientInfo logPath=\"old\" node=\"old\"/>\n"));
        Ostrel_SDK::setUserInfo("u1", QString());
        startCrash("demo");
        const struct { const char *path, *list; bool written; } steps[] = {
            {"", "", true}, // empty path on an empty list: written as ""
            {"C:/a", "C:/a", true},
            {"C:/b", "C:/a;C:/b", true},
            {"C:/a", "C:/a;C:/b", false}, // duplicate
            {"", "C:/a;C:/b", false},     // empty path on a non-empty list
            {"a;C", "C:/a;C:/b", false},  // substring across the separator
            {"C:/logs/x", "C:/a;C:/b;C:/logs/x", true},
            {"C:/logs", "C:/a;C:/b;C:/logs/x", false},            // substring of a stored path
            {"c:/logs/X", "C:/a;C:/b;C:/logs/x;c:/logs/X", true}, // case-sensitive
        };
        for (const auto &step : steps) {
            LogCapture capture;
            Ostrel_SDK::appendClientThirdpartyLogPath(step.path);
            QCOMPARE(attributes(path).value("thirdpartyLogPath"), QString(step.list));
            QCOMPARE(capture.count("KivOperateIni::setOption success \"ClientInfo\" \"thirdpartyLogPath\""), int(step.written));
            QCOMPARE(capture.lines("Ostrel ", QtDebugMsg), QStringList(QStringLiteral("Ostrel appendIniFileThirdpartyLogInfo \"%1\"").arg(step.path)));
        }
        QCOMPARE(QDir(m_data).entryList(QDir::Files), QStringList({QStringLiteral("KivClientInfo_0_0.xml")}));
        QCOMPARE(attributes(path), initialWith({{"id", "u1"}, {"thirdpartyLogPath", "C:/a;C:/b;C:/logs/x;c:/logs/X"}}));
    }

    // Files of ended hosts are removed when that is certain, and kept when in doubt.
    void staleFilesRemovedWhenCertain()
    {
#ifdef Q_OS_WIN
        QSKIP("the ended and live processes here are made with POSIX calls; no Windows counterpart yet");
#else
        QTemporaryDir dir;
        const qint64 ended = endedPid(), endedWithHandler = endedPid();
        QLocalServer handler; // a handler of that host is still there: it may yet read the file
        QVERIFY(handler.listen(QStringLiteral("Kiv_Crash_Handler_%1").arg(endedWithHandler)));
        const auto make = [&](const QString &name, qint64 mtime = -1) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            if (mtime >= 0)
                QVERIFY(file.setFileTime(QDateTime::fromSecsSinceEpoch(mtime), QFileDevice::FileModificationTime));
        };
        make(QStringLiteral("KivClientInfo_a_b_%1.xml").arg(ended));           // an ended host's
        make(QStringLiteral("KivClientInfo_a_%1.xml").arg(endedWithHandler));  // its handler is still there
        make(QStringLiteral("KivClientInfo_a_%1.xml").arg(getppid()));         // a live process's
        make(QStringLiteral("KivClientInfo_b_%1.xml").arg(getppid()), 1000);   // ... whose pid an earlier host had
        make(QStringLiteral("KivClientInfo_a_%1.xml").arg(kPid), 1000);        // our own
        make(QStringLiteral("KivClientInfo_0_0.xml"));                          // written before StartCrash
        QVERIFY(QFile::link(dir.filePath("KivClientInfo_0_0.xml"), dir.filePath(QStringLiteral("KivClientInfo_l_%1.xml").arg(ended + 1))));

        QCOMPARE(removeStaleClientInfoFiles(dir.path(), kPid.toLongLong()),
                 QStringList({dir.filePath(QStringLiteral("KivClientInfo_a_b_%1.xml").arg(ended)),
                              dir.filePath(QStringLiteral("KivClientInfo_b_%1.xml").arg(getppid()))}));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::System).size(), 5);
#endif
    }

    void fallbackFolderWhenHomeCannotBeCreated()
    {
        SKIP_WHERE_DATA_FOLDER_SHARED();
        // A home below a regular file: the data folder cannot be made, whoever runs the test.
        QVERIFY(writeAll(m_tmp.filePath(QStringLiteral("plainfile")), "x"));
        qputenv("HOME", QFile::encodeName(m_tmp.filePath(QStringLiteral("plainfile/home"))));
        const QString fallback = QCoreApplication::applicationDirPath() + QStringLiteral("/OstrelSDK");
        const bool fallbackExisted = QFileInfo::exists(fallback);
        writeIniFile(QStringLiteral("fallback"));
        const QString path = fallback + QStringLiteral("/KivClientInfo_fallback_%1.xml").arg(kPid);
        Ostrel_SDK::setUserInfo("u1", QString());
        const QMap<QString, QString> values = attributes(path);
        QFile::remove(path);
        if (!fallbackExisted)
            QDir().rmdir(fallback);
        QCOMPARE(values, initialWith({{"id", "u1"}}));
    }
};

QTEST_GUILESS_MAIN(tst_ClientInfo)
#include "tst_clientinfo.moc"
