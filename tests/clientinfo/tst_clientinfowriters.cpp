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

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files);
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
    void writerBeforeStartCrashKeepsZeroName();
    void secondStartCrashRenamesUnwrittenFile();
    void thirdpartyAppendRules();
    void fallbackFolderWhenHomeCannotBeCreated();
    void percentSignsInHomePath();

private:
    QTemporaryDir m_tmp;
};

void tst_ClientInfoWriters::initTestCase()
{
    // Isolation before the first library call: home, local-dump settings, and a stand-in crash
    // handler that exits at once.
    QVERIFY(m_tmp.isValid());
    QVERIFY(QDir(m_tmp.path()).mkpath(QStringLiteral("home")));
    qputenv("HOME", QFile::encodeName(m_tmp.filePath(QStringLiteral("home"))));
    qputenv("OSTREL_WER_SETTINGS_DIR", QFile::encodeName(m_tmp.filePath(QStringLiteral("wer"))));
    qunsetenv("OSTREL_STANDIN_DIR");
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_tmp.filePath(QStringLiteral("wer")));
}

void tst_ClientInfoWriters::fileNamedAfterStartCrash()
{
    LogCapture capture;
    startCrash(QStringLiteral("demo"));
    QCOMPARE(capture.lines(QStringLiteral("writeIniFile"), QtDebugMsg),
             QStringList({QStringLiteral("writeIniFile \"demo\" \"%1\"").arg(pid())}));
    QCOMPARE(filesIn(dataFolder()), QStringList()); // StartCrash alone writes no file

    const QString path = dataFolder() + QStringLiteral("/KivClientInfo_demo_%1.xml").arg(pid());
    capture.clear();
    Ostrel_SDK::setClientLogPath(QStringLiteral("C:/log"));
    QCOMPARE(filesIn(dataFolder()), QStringList({QFileInfo(path).fileName()}));
    QMap<QString, QString> expected = initialAttributes();
    expected.insert(QStringLiteral("logPath"), QStringLiteral("C:/log"));
    QCOMPARE(attributes(path), expected);

    Ostrel_SDK::setClientLogPath(QStringLiteral("D:/other"));
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QStringLiteral("not stored"));
    Ostrel_SDK::enterLive(QStringLiteral("L1"), QStringLiteral("not stored"), true);
    QCOMPARE(attributes(path).value(QStringLiteral("liveid")), QStringLiteral("L1"));
    Ostrel_SDK::quitLive();
    QCOMPARE(attributes(path).value(QStringLiteral("liveid")), QString());
    Ostrel_SDK::enterLive(QStringLiteral("L2"), QString(), false);
    Ostrel_SDK::enterLive(QString(), QString(), true);
    Ostrel_SDK::setStreamNode(QString(), QStringLiteral("detail"));
    QVERIFY(attributes(path).contains(QStringLiteral("node")));
    Ostrel_SDK::setStreamNode(QStringLiteral("n1"), QStringLiteral("detail"));

    expected.insert(QStringLiteral("logPath"), QStringLiteral("D:/other"));
    expected.insert(QStringLiteral("id"), QStringLiteral("u1"));
    expected.insert(QStringLiteral("node"), QStringLiteral("n1"));
    QCOMPARE(attributes(path), expected);
    QCOMPARE(capture.lines(QStringLiteral("Ostrel "), QtDebugMsg), QStringList({
        QStringLiteral("Ostrel writeIniFileClientLogInfo \"C:/log\""),
        QStringLiteral("Ostrel writeIniFileClientLogInfo \"D:/other\""),
        QStringLiteral("Ostrel writeIniFileUserInfo \"u1\""),
        QStringLiteral("Ostrel writeIniFileLiveInfo \"L1\" true"),
        QStringLiteral("Ostrel writeIniFileLiveInfo \"\" false"),
        QStringLiteral("Ostrel writeIniFileLiveInfo \"L2\" true"),
        QStringLiteral("Ostrel writeIniFileLiveInfo \"\" true"),
        QStringLiteral("Ostrel writeIniFileStreamNodeInfo \"\""),
        QStringLiteral("Ostrel writeIniFileStreamNodeInfo \"n1\"")}));
    // The first writer created the file afresh, exactly once.
    QCOMPARE(capture.count(QStringLiteral("KivOperateIni::initXml file success"), QtDebugMsg), 1);
}

void tst_ClientInfoWriters::writerBeforeStartCrashKeepsZeroName()
{
    // A file of the same name left by an earlier process is emptied by the first write.
    QVERIFY(QDir().mkpath(dataFolder()));
    const QString path = dataFolder() + QStringLiteral("/KivClientInfo_0_0.xml");
    QVERIFY(writeAll(path, "<?xml version=\"1.0\"?>\n<ClientInfo logPath=\"old\" node=\"old\"/>\n"));

    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
    startCrash(QStringLiteral("demo"));
    Ostrel_SDK::setClientLogPath(QStringLiteral("C:/log"));

    QCOMPARE(filesIn(dataFolder()), QStringList({QStringLiteral("KivClientInfo_0_0.xml")}));
    QMap<QString, QString> expected = initialAttributes();
    expected.insert(QStringLiteral("id"), QStringLiteral("u1"));
    expected.insert(QStringLiteral("logPath"), QStringLiteral("C:/log"));
    QCOMPARE(attributes(path), expected);
}

void tst_ClientInfoWriters::secondStartCrashRenamesUnwrittenFile()
{
    startCrash(QStringLiteral("first"));
    startCrash(QStringLiteral("second"));
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
    startCrash(QStringLiteral("third")); // too late: the store already has its path
    Ostrel_SDK::setStreamNode(QStringLiteral("n"), QString());

    QCOMPARE(filesIn(dataFolder()), QStringList({QStringLiteral("KivClientInfo_second_%1.xml").arg(pid())}));
    const QMap<QString, QString> values = attributes(dataFolder() + QLatin1Char('/') + filesIn(dataFolder()).value(0));
    QCOMPARE(values.value(QStringLiteral("id")), QStringLiteral("u1"));
    QCOMPARE(values.value(QStringLiteral("node")), QStringLiteral("n"));
}

void tst_ClientInfoWriters::thirdpartyAppendRules()
{
    Ostrel_SDK::logSwitch(false); // the client info lines are not gated by it
    const QString path = dataFolder() + QStringLiteral("/KivClientInfo_0_0.xml");
    const QString key = QStringLiteral("thirdpartyLogPath");
    LogCapture capture;
    auto appendAndRead = [&](const char *logPath) {
        Ostrel_SDK::appendClientThirdpartyLogPath(QString::fromUtf8(logPath));
        return attributes(path).value(key);
    };
    auto writes = [&] { return capture.count(QStringLiteral("KivOperateIni::setOption success \"ClientInfo\" \"thirdpartyLogPath\"")); };

    Ostrel_SDK::setClientLogPath(QStringLiteral("C:/own"));
    QCOMPARE(appendAndRead(""), QString()); // empty path on an empty list: written as ""
    QCOMPARE(writes(), 1);
    QCOMPARE(appendAndRead("C:/a"), QStringLiteral("C:/a"));
    QCOMPARE(appendAndRead("C:/b"), QStringLiteral("C:/a;C:/b"));
    QCOMPARE(writes(), 3);
    QCOMPARE(appendAndRead("C:/a"), QStringLiteral("C:/a;C:/b")); // duplicate
    QCOMPARE(appendAndRead(""), QStringLiteral("C:/a;C:/b"));     // empty path on a non-empty list
    QCOMPARE(appendAndRead("a;C"), QStringLiteral("C:/a;C:/b"));  // substring across the separator
    QCOMPARE(writes(), 3);
    QCOMPARE(appendAndRead("C:/logs/x"), QStringLiteral("C:/a;C:/b;C:/logs/x"));
    QCOMPARE(appendAndRead("C:/logs"), QStringLiteral("C:/a;C:/b;C:/logs/x")); // substring of a stored path
    QCOMPARE(appendAndRead("c:/logs/X"), QStringLiteral("C:/a;C:/b;C:/logs/x;c:/logs/X")); // case-sensitive
    QCOMPARE(writes(), 5);
    QCOMPARE(attributes(path).value(QStringLiteral("logPath")), QStringLiteral("C:/own"));
    QCOMPARE(capture.lines(QStringLiteral("Ostrel appendIniFileThirdpartyLogInfo")).value(3),
             QStringLiteral("Ostrel appendIniFileThirdpartyLogInfo \"C:/a\""));

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
    QCOMPARE(values.value(QStringLiteral("id")), QStringLiteral("u1"));
    QCOMPARE(values.size(), 4);
}

void tst_ClientInfoWriters::percentSignsInHomePath()
{
    // Only the file name template is substituted; a home folder may hold "%1" or "%2" itself.
    const QString home = m_tmp.filePath(QStringLiteral("h%1 %2"));
    qputenv("HOME", QFile::encodeName(home));
    writeIniFile(QStringLiteral("c"));
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());
    QCOMPARE(filesIn(home + QStringLiteral("/AppData/Local/OstrelSDK")), QStringList({QStringLiteral("KivClientInfo_c_%1.xml").arg(pid())}));
}

QTEST_GUILESS_MAIN(tst_ClientInfoWriters)
#include "tst_clientinfowriters.moc"
