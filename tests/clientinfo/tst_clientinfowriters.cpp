// The client info writers through the exported functions: the file's name and folder, each
// writer's attribute and log line, and the third-party path list. The store and the file name are
// fixed once per process, so every test function runs in its own process (one CTest entry each).

#include "OstrelSDK/ostrelsdk.h"
#include "clientinfo/clientinfowriters.h"
#include "clientinfofile.h"
#include "logcapture.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace ClientInfoFile;

namespace {

QString pid()
{
    return QString::number(QCoreApplication::applicationPid());
}

QString dataFolder()
{
    return QDir::homePath() + QStringLiteral("/AppData/Local/OstrelSDK");
}

void startCrash(const QString &clientName)
{
    QVERIFY(Ostrel_SDK::StartCrash(clientName, QStringLiteral("p1"), QStringLiteral("p2"), QStringLiteral("C:/dumps"), 5, 2,
                                   QStringLiteral("p3")));
}

} // namespace

class tst_ClientInfoWriters : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fileNamedAfterStartCrash();
    void zeroNameAndThirdpartyAppendRules();
    void fallbackFolderWhenHomeCannotBeCreated();

private:
    QTemporaryDir m_tmp;
};

void tst_ClientInfoWriters::initTestCase()
{
    // Before the first library call: home, local-dump settings, and a stand-in handler that exits.
    // The home folder holds "%1" and "%2": only the file name template may be substituted.
    const QString home = m_tmp.filePath(QStringLiteral("home %1 %2"));
    QVERIFY(QDir().mkpath(home));
    qputenv("HOME", QFile::encodeName(home));
    qputenv("OSTREL_WER_SETTINGS_DIR", QFile::encodeName(m_tmp.filePath(QStringLiteral("wer"))));
    qunsetenv("OSTREL_STANDIN_DIR");
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_tmp.filePath(QStringLiteral("wer")));
}

void tst_ClientInfoWriters::fileNamedAfterStartCrash()
{
    {
        LogCapture capture;
        startCrash(QStringLiteral("first"));
        startCrash(QStringLiteral("demo")); // the latest name before the first writer counts
        QCOMPARE(capture.lines(QStringLiteral("writeIniFile"), QtDebugMsg),
                 QStringList({QStringLiteral("writeIniFile \"first\" \"%1\"").arg(pid()),
                              QStringLiteral("writeIniFile \"demo\" \"%1\"").arg(pid())}));
        QCOMPARE(QDir(dataFolder()).entryList(QDir::Files), QStringList()); // StartCrash alone writes no file
    }
    // Each exported call, the attribute it leaves behind, and its writer's log line.
    const struct { void (*call)(); const char *key, *value, *line; } steps[] = {
        {[] { Ostrel_SDK::setClientLogPath(QStringLiteral("C:/log")); }, "logPath", "C:/log", "writeIniFileClientLogInfo \"C:/log\""},
        {[] { Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QStringLiteral("not stored")); }, "id", "u1", "writeIniFileUserInfo \"u1\""},
        {[] { Ostrel_SDK::enterLive(QStringLiteral("L1"), QStringLiteral("not stored"), true); }, "liveid", "L1", "writeIniFileLiveInfo \"L1\" true"},
        {[] { Ostrel_SDK::quitLive(); }, "liveid", "", "writeIniFileLiveInfo \"\" false"},
        {[] { Ostrel_SDK::enterLive(QStringLiteral("L2"), QString(), false); }, "liveid", "L2", "writeIniFileLiveInfo \"L2\" true"},
        {[] { Ostrel_SDK::enterLive(QString(), QString(), true); }, "liveid", "", "writeIniFileLiveInfo \"\" true"},
        {[] { Ostrel_SDK::setStreamNode(QString(), QStringLiteral("detail")); }, "node", "", "writeIniFileStreamNodeInfo \"\""},
        {[] { Ostrel_SDK::setStreamNode(QStringLiteral("n1"), QStringLiteral("detail")); }, "node", "n1", "writeIniFileStreamNodeInfo \"n1\""},
    };
    const QString path = dataFolder() + QStringLiteral("/KivClientInfo_demo_%1.xml").arg(pid());
    for (const auto &step : steps) {
        LogCapture capture;
        step.call();
        QCOMPARE(attributes(path).value(QString::fromUtf8(step.key), QStringLiteral("<absent>")), QString::fromUtf8(step.value));
        QCOMPARE(capture.lines(QStringLiteral("Ostrel "), QtDebugMsg), QStringList(QStringLiteral("Ostrel ") + QString::fromUtf8(step.line)));
        // Only the first writer creates the file, afresh.
        QCOMPARE(capture.count(QStringLiteral("KivOperateIni::initXml file success"), QtDebugMsg), int(&step == steps));
    }
    startCrash(QStringLiteral("late")); // the store keeps its path
    Ostrel_SDK::setClientLogPath(QStringLiteral("E:/last")); // replaced whole
    QCOMPARE(QDir(dataFolder()).entryList(QDir::Files), QStringList({QFileInfo(path).fileName()}));
    QCOMPARE(attributes(path), initialWith({{"logPath", "E:/last"}, {"id", "u1"}, {"node", "n1"}}));
}

void tst_ClientInfoWriters::zeroNameAndThirdpartyAppendRules()
{
    // A writer before StartCrash names the file KivClientInfo_0_0.xml for good; a file of that name
    // left by an earlier process is emptied by the first write.
    QVERIFY(QDir().mkpath(dataFolder()));
    const QString path = dataFolder() + QStringLiteral("/KivClientInfo_0_0.xml");
    QVERIFY(writeAll(path, "<?xml version=\"1.0\"?>\n<ClientInfo logPath=\"old\" node=\"old\"/>\n"));
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
    startCrash(QStringLiteral("demo"));

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
        Ostrel_SDK::appendClientThirdpartyLogPath(QString::fromUtf8(step.path));
        QCOMPARE(attributes(path).value(QStringLiteral("thirdpartyLogPath")), QString::fromUtf8(step.list));
        QCOMPARE(capture.count(QStringLiteral("KivOperateIni::setOption success \"ClientInfo\" \"thirdpartyLogPath\"")), int(step.written));
        QCOMPARE(capture.lines(QStringLiteral("Ostrel "), QtDebugMsg),
                 QStringList(QStringLiteral("Ostrel appendIniFileThirdpartyLogInfo \"%1\"").arg(QString::fromUtf8(step.path))));
    }
    QCOMPARE(QDir(dataFolder()).entryList(QDir::Files), QStringList({QStringLiteral("KivClientInfo_0_0.xml")}));
    QCOMPARE(attributes(path), initialWith({{"id", "u1"}, {"thirdpartyLogPath", "C:/a;C:/b;C:/logs/x;c:/logs/X"}}));
}

void tst_ClientInfoWriters::fallbackFolderWhenHomeCannotBeCreated()
{
    // A home below a regular file: the data folder cannot be made, whoever runs the test.
    QVERIFY(writeAll(m_tmp.filePath(QStringLiteral("plainfile")), "x"));
    qputenv("HOME", QFile::encodeName(m_tmp.filePath(QStringLiteral("plainfile/home"))));
    const QString fallback = QCoreApplication::applicationDirPath() + QStringLiteral("/OstrelSDK");
    const bool fallbackExisted = QFileInfo::exists(fallback);
    writeIniFile(QStringLiteral("fallback"));
    const QString path = fallback + QStringLiteral("/KivClientInfo_fallback_%1.xml").arg(pid());

    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
    const QMap<QString, QString> values = attributes(path);
    QFile::remove(path);
    if (!fallbackExisted)
        QDir().rmdir(fallback);
    QCOMPARE(values, initialWith({{"id", "u1"}}));
}

QTEST_GUILESS_MAIN(tst_ClientInfoWriters)
#include "tst_clientinfowriters.moc"
