// Local-dump registration: when the library counts an executable's settings as registered, the
// registration tool on its own, the exact argument a host hands to it, and the two-run loop (a first
// host run registers through the real tool, a second one finds the values and starts none). Hosts
// run as children from a temporary folder holding the host and a KivRegWER.exe.

#include "crashmanage/localdumpsettings.h"
#include "crashmanage/werregistration.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QString stored(const char *exe)
{
    const LocalDumpSettings s = readLocalDumpSettings(QLatin1String(exe));
    return QStringLiteral("%1|%2|%3").arg(s.dumpFolder).arg(s.dumpCount).arg(s.dumpType);
}

} // namespace

class tst_WerRegistration : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void matchRules_data();
    void matchRules();
    void toolOnItsOwn();
    void registrationArgument();
    void twoRunLoopThroughTool();
    void toolMissingOrNotExecutable();

private:
    int run(const QString &program, const QStringList &arguments);
    int runHost(const char *scenario) { return run(m_hostDir->filePath(QStringLiteral("wer_host")), {QLatin1String(scenario)}); }
    int count(const QString &part, const char *type = "") const;
    QString iniPath(const char *exe) const
    {
        return m_settings->filePath(localDumpsOrganization() + QLatin1Char('/') + QLatin1String(exe) + QLatin1String(".ini"));
    }

    QScopedPointer<QTemporaryDir> m_home, m_settings, m_hostDir;
    QString m_tool;
    QStringList m_lines; // stderr of the last run; a host's log lines read "<type> <text>"
};

void tst_WerRegistration::init()
{
    m_home.reset(new QTemporaryDir);
    m_settings.reset(new QTemporaryDir);
    m_hostDir.reset(new QTemporaryDir);
    QVERIFY(m_home->isValid() && m_settings->isValid() && m_hostDir->isValid());
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_settings->path());
    QVERIFY(QFile::copy(QStringLiteral(WER_HOST), m_hostDir->filePath(QStringLiteral("wer_host"))));
    m_tool = m_hostDir->filePath(QStringLiteral("KivRegWER.exe"));
}

// Exit code of a child run to its end with the settings folder and a private HOME, or -1.
int tst_WerRegistration::run(const QString &program, const QStringList &arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_home->path());
    env.insert(QStringLiteral("OSTREL_WER_SETTINGS_DIR"), m_settings->path());
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.info=true"));
    env.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{type} %{message}"));
    for (const char *name : {"OSTREL_STANDIN_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
        env.remove(QLatin1String(name));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit;
    process.kill();
    process.waitForFinished();
    m_lines = QString::fromUtf8(process.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return finished ? process.exitCode() : -1;
}

int tst_WerRegistration::count(const QString &part, const char *type) const
{
    int n = 0;
    for (const QString &line : m_lines)
        n += line.startsWith(QLatin1String(type)) && line.contains(part);
    return n;
}

void tst_WerRegistration::matchRules_data()
{
    // `ini`: the settings file of "app.exe" as it lies on disk (none when empty, a directory in its
    // place for "<dir>"), then the wanted folder, count and type.
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("registered");

    const QByteArray full = "[General]\nDumpFolder=C:\\\\Dumps\\\\app\nDumpCount=10\nDumpType=2\n";
    const QString app = QStringLiteral(R"(C:\Dumps\app)");
    const QString d = QStringLiteral("d");
    QTest::newRow("equal") << full << app << 10 << 2 << true;
    QTest::newRow("folder case differs") << full << QStringLiteral(R"(c:\dumps\app)") << 10 << 2 << false;
    QTest::newRow("folder separators differ") << full << QStringLiteral("C:/Dumps/app") << 10 << 2 << false;
    QTest::newRow("trailing backslash") << full << QStringLiteral(R"(C:\Dumps\app\)") << 10 << 2 << false;
    QTest::newRow("count differs") << full << app << 11 << 2 << false;
    QTest::newRow("type differs") << full << app << 10 << 1 << false;
    QTest::newRow("numbers stored as text")
        << QByteArray("[General]\nDumpFolder=C:\\\\Dumps\\\\app\nDumpCount=\"10\"\nDumpType=\"2\"\n") << app << 10 << 2 << true;
    QTest::newRow("zero count and type") << QByteArray("[General]\nDumpFolder=d\nDumpCount=0\nDumpType=0\n") << d << 0 << 0 << true;
    QTest::newRow("environment reference kept") << QByteArray("[General]\nDumpFolder=%LOCALAPPDATA%\\\\d\nDumpCount=1\nDumpType=1\n")
                                                << QStringLiteral(R"(%LOCALAPPDATA%\d)") << 1 << 1 << true;
    QTest::newRow("count absent") << QByteArray("[General]\nDumpFolder=d\nDumpType=2\n") << d << 10 << 2 << false;
    QTest::newRow("count absent, wanted -1") << QByteArray("[General]\nDumpFolder=d\nDumpType=2\n") << d << -1 << 2 << false;
    QTest::newRow("negative type on both sides") << QByteArray("[General]\nDumpFolder=d\nDumpCount=5\nDumpType=-3\n") << d << 5 << -3 << false;
    QTest::newRow("empty folder on both sides") << QByteArray("[General]\nDumpFolder=\nDumpCount=5\nDumpType=2\n") << QString() << 5 << 2 << false;
    QTest::newRow("no settings") << QByteArray() << app << 10 << 2 << false;
    QTest::newRow("unreadable") << QByteArray("<dir>") << app << 10 << 2 << false;
    QTest::newRow("corrupt") << QByteArray("\xff\xfe\x00[Gen\x01\x02=", 10) << app << 10 << 2 << false;
}

void tst_WerRegistration::matchRules()
{
    QFETCH(QByteArray, ini);
    if (ini == "<dir>")
        QVERIFY(QDir().mkpath(iniPath("app.exe")));
    else if (!ini.isEmpty())
        QVERIFY(writeFile(iniPath("app.exe"), ini));
    QFETCH(QString, folder);
    QFETCH(int, count);
    QFETCH(int, type);
    QTEST(isLocalDumpRegistered(QStringLiteral("app.exe"), folder, count, type), "registered");
}

void tst_WerRegistration::toolOnItsOwn()
{
    const QString tool = QStringLiteral(KIVREGWER);
    QCOMPARE(run(tool, {QStringLiteral(R"([{"m_appName":"a.exe","m_count":10,"m_dmpPath":"C:\\Dumps\\a b","m_type":2},)"
                                       R"({"m_appName":"b.exe","m_count":0,"m_dmpPath":"","m_type":1}])")}), 0);
    QCOMPARE(m_lines, QStringList());
    QCOMPARE(stored("a.exe"), QStringLiteral(R"(C:\Dumps\a b|10|2)"));
    QCOMPARE(stored("b.exe"), QStringLiteral("|0|1"));

    // Valid entries are written (a.exe overwritten), every invalid one is skipped with a reason.
    QVERIFY(QDir().mkpath(iniPath("h.exe")));
    QCOMPARE(run(tool, {QStringLiteral(R"([{"m_appName":"a.exe","m_count":3,"m_dmpPath":"D:/x","m_type":1},5,)"
                                       R"({"m_appName":"c.exe","m_count":"10","m_dmpPath":"x","m_type":2},)"
                                       R"({"m_appName":"d.exe","m_count":1.5,"m_dmpPath":"x","m_type":2},)"
                                       R"({"m_appName":"e.exe","m_count":1,"m_dmpPath":"x"},)"
                                       R"({"m_appName":"../f.exe","m_count":1,"m_dmpPath":"x","m_type":1},)"
                                       R"({"m_appName":"g.exe","m_count":1,"m_dmpPath":7,"m_type":1},)"
                                       R"({"m_appName":"h.exe","m_count":1,"m_dmpPath":"x","m_type":1}])")}), 1);
    QCOMPARE(count(QStringLiteral("skipped")), 7);
    QCOMPARE(count(QStringLiteral("entry 7 skipped: cannot write")), 1);
    QCOMPARE(stored("a.exe"), QStringLiteral("D:/x|3|1"));
    for (const char *skipped : {"c.exe", "d.exe", "e.exe", "g.exe"})
        QCOMPARE(stored(skipped), QStringLiteral("|-1|-1"));

    QCOMPARE(run(tool, {QStringLiteral("[]")}), 0);
    for (const QStringList &arguments : QList<QStringList>{{QStringLiteral(R"({"m_appName":"a.exe"})")}, {QStringLiteral("[1,")}, {},
                                                           {QStringLiteral("[]"), QStringLiteral("[]")}}) {
        QCOMPARE(run(tool, arguments), 2);
        QCOMPARE(m_lines.size(), 1);
        QVERIFY(m_lines.first().startsWith(QLatin1String("usage: KivRegWER.exe")));
    }
}

// Sub-process entries in list order (a matching one left out), then the host's, once, at the first
// start only; a later StartCrash or subProcessInfo adds nothing to what the tool gets.
void tst_WerRegistration::registrationArgument()
{
    // The recorder appends its argument count and arguments, one per line.
    QVERIFY(writeFile(m_tool, "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" >> \"${0%/*}/KivRegWER.calls\"\n"));
    QVERIFY(QFile::setPermissions(m_tool, QFile::ReadOwner | QFile::ExeOwner));
    QVERIFY(writeFile(iniPath("ok.exe"), "[General]\nDumpFolder=D:\\\\Dumps\\\\ok\nDumpCount=1\nDumpType=2\n"));

    QCOMPARE(runHost(R"([[["worker.exe","D:\\Dumps\\worker",1,10],["ok.exe","D:\\Dumps\\ok",2,1],["render.exe","D:/Dumps/render",2,5]],
                         ["C:/Dumps/app",20,3], ["E:/other",7,1], [["late.exe","L",1,1]]])"), 0);
    QFile calls(m_hostDir->filePath(QStringLiteral("KivRegWER.calls")));
    QTRY_COMPARE_WITH_TIMEOUT((calls.close(), calls.open(QIODevice::ReadOnly), calls.readAll()),
                              QByteArray("1\n" R"([{"m_appName":"worker.exe","m_count":10,"m_dmpPath":"D:\\Dumps\\worker","m_type":1},)"
                                         R"({"m_appName":"render.exe","m_count":5,"m_dmpPath":"D:/Dumps/render","m_type":2},)"
                                         R"({"m_appName":"WerHost.exe","m_count":20,"m_dmpPath":"C:\\Dumps\\app","m_type":3}])" "\n"),
                              20000);
    QCOMPARE(count(QStringLiteral("start KivRegWER, args is:"), "info"), 1);
    QCOMPARE(count(QStringLiteral("CrashManage::actualStart Actual had started")), 1);
    QCOMPARE(count(QStringLiteral(R"(dmpCreatePath: "D:\\Dumps\\ok")")), 1);
    QCOMPARE(count(QStringLiteral(R"(append: "late.exe")")), 1);
    QCOMPARE(count(QStringLiteral("jsonArr is empty")), 0);
}

void tst_WerRegistration::twoRunLoopThroughTool()
{
    QVERIFY(QFile::copy(QStringLiteral(KIVREGWER), m_tool));
    const char *scenario = R"([[["worker.exe","D:\\Dumps\\worker",1,10],["render.exe","D:/Dumps/render",2,5]], ["C:/Dumps/app",20,3]])";
    QCOMPARE(runHost(scenario), 0);
    QCOMPARE(count(QStringLiteral("start KivRegWER, args is:"), "info"), 1);
    // The tool runs detached: wait for what it writes.
    QTRY_VERIFY_WITH_TIMEOUT(isLocalDumpRegistered(QStringLiteral("worker.exe"), QStringLiteral(R"(D:\Dumps\worker)"), 10, 1)
                                 && isLocalDumpRegistered(QStringLiteral("render.exe"), QStringLiteral("D:/Dumps/render"), 5, 2)
                                 && isLocalDumpRegistered(QStringLiteral("WerHost.exe"), QStringLiteral(R"(C:\Dumps\app)"), 20, 3),
                             20000);

    QCOMPARE(runHost(scenario), 0);
    QCOMPARE(count(QStringLiteral("start KivRegWER")), 0);
    QCOMPARE(count(QStringLiteral("jsonArr is empty"), "critical"), 1);
    QCOMPARE(count(QStringLiteral(R"(CrashManage dmpCreatePath: "C:\\Dumps\\app")")), 1);
    QCOMPARE(count(QStringLiteral("dmpCreatePath:")), 3);
}

// The start is fire-and-forget: a tool that is not there or cannot run changes nothing for the host.
void tst_WerRegistration::toolMissingOrNotExecutable()
{
    for (bool present : {false, true}) {
        QVERIFY(!present || writeFile(m_tool, "not a program\n"));
        QCOMPARE(runHost(R"([["C:/Dumps/app",20,3]])"), 0);
        QCOMPARE(count(QStringLiteral("start KivRegWER, args is:")), 1);
        QCOMPARE(count(QStringLiteral("KivCrashHandler Path:")), 1);
    }
}

QTEST_GUILESS_MAIN(tst_WerRegistration)
#include "tst_werregistration.moc"
