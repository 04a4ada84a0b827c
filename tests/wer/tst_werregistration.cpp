// Local-dump registration: when the library counts an executable's settings as registered (the
// user's settings first, then the system's), the registration tool on its own, the exact argument a
// host hands to it, and the two-run loop (a first host run registers through the real tool, a second
// one finds the values and starts none). Hosts and the tool run as an ordinary user, as children
// from a temporary folder holding the host and a KivRegWER.exe, with the default settings folder
// under their HOME.

#include "asordinaryuser.h"
#include "localdumpsettings.h"
#include "crashmanage/werregistration.h"
#include "testfiles.h"

#include <QtTest>

using TestFiles::writeAll;

namespace {
const QByteArray kSystem = "--system--\n";
}

class tst_WerRegistration : public QObject
{
    Q_OBJECT

    // A private HOME (its .config the user's settings folder), the system's settings, the host's folder.
    QScopedPointer<QTemporaryDir> m_home, m_system, m_hostDir;
    QString m_tool;
    QStringList m_lines; // stdout and stderr of the last run; a host's log lines read "<type> <text>"

    // Exit code of a child run to its end as an ordinary user with a private HOME, or -1.
    int run(const QString &program, const QStringList &arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", m_home->path());
        env.insert("QT_LOGGING_RULES", "default.info=true");
        env.insert("QT_MESSAGE_PATTERN", "%{type} %{message}");
        for (const char *name : {"OSTREL_STANDIN_DIR", "OSTREL_WER_SETTINGS_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
            env.remove(name);
        OrdinaryUserProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setProcessEnvironment(env);
        process.start(program, arguments);
        const bool finished = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit;
        process.kill();
        process.waitForFinished();
        m_lines = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        return finished ? process.exitCode() : -1;
    }
    int runHost(const char *scenario) { return run(m_hostDir->filePath("wer_host"), {scenario}); }
    int count(const QString &part, const QString &type = QString()) const
    {
        return m_lines.filter(part).filter(QRegularExpression(QStringLiteral("^") + type)).size();
    }
    QString settingsPath(const char *file, bool system = false) const
    {
        return system ? m_system->filePath(localDumpsOrganization() + '/' + file)
                      : m_home->filePath(".config/Microsoft/Windows/Windows Error Reporting/LocalDumps/" + QString(file));
    }
    QString iniPath(const char *exe, bool system = false) const { return settingsPath(qPrintable(exe + QString(".ini")), system); }

private slots:
    void init()
    {
        m_home.reset(new QTemporaryDir);
        m_system.reset(new QTemporaryDir);
        m_hostDir.reset(new QTemporaryDir);
        QVERIFY(m_home->isValid() && m_system->isValid() && m_hostDir->isValid());
        for (const QTemporaryDir *dir : {m_home.data(), m_hostDir.data()})
            QVERIFY(geteuid() != 0 || ::chown(QFile::encodeName(dir->path()).constData(), 65534, 65534) == 0);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_home->filePath(".config"));
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_system->path());
        QVERIFY(QFile::copy(WER_HOST, m_hostDir->filePath("wer_host")));
        m_tool = m_hostDir->filePath("KivRegWER.exe");
    }

    void matchRules_data()
    {
        // `ini`: the user's settings file of "app.exe" as it lies on disk (none when empty, a directory
        // in its place for "<dir>"), after kSystem the system's; then the wanted folder, count and type.
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("registered");

        auto row = [](const char *name, const QByteArray &ini, const char *folder, int count, int type, bool registered) {
            QTest::newRow(name) << ini << QString(folder) << count << type << registered;
        };
        const QByteArray full = "[General]\nDumpFolder=C:\\\\Dumps\\\\app\nDumpCount=10\nDumpType=2\n";
        const char *app = R"(C:\Dumps\app)";
        row("equal", full, app, 10, 2, true);
        row("folder case differs", full, R"(c:\dumps\app)", 10, 2, false);
        row("count differs", full, app, 11, 2, false);
        row("type differs", full, app, 10, 1, false);
        row("numbers stored as text", QByteArray("[General]\nDumpFolder=d\nDumpCount=\"10\"\nDumpType=\"2\"\n"), "d", 10, 2, true);
        row("zero count and type", QByteArray("[General]\nDumpFolder=d\nDumpCount=0\nDumpType=0\n"), "d", 0, 0, true);
        row("count absent, wanted 0", QByteArray("[General]\nDumpFolder=d\nDumpType=2\n"), "d", 0, 2, false);
        row("type absent, wanted 0", QByteArray("[General]\nDumpFolder=d\nDumpCount=1\n"), "d", 1, 0, false);
        row("count absent, wanted -1", QByteArray("[General]\nDumpFolder=d\nDumpType=2\n"), "d", -1, 2, false);
        row("negative type on both sides", QByteArray("[General]\nDumpFolder=d\nDumpCount=5\nDumpType=-3\n"), "d", 5, -3, false);
        row("empty folder on both sides", QByteArray("[General]\nDumpFolder=\nDumpCount=5\nDumpType=2\n"), "", 5, 2, false);
        row("no settings", QByteArray(), app, 10, 2, false);
        row("unreadable", QByteArray("<dir>"), app, 10, 2, false);
        row("corrupt", QByteArray("\xff\xfe\x00[Gen\x01\x02=", 10), app, 10, 2, false);
        row("system's only", kSystem + full, app, 10, 2, true);
        row("user's file without values: system's", "[General]\n" + kSystem + full, app, 10, 2, true);
        row("user's values over system's", "[General]\nDumpFolder=C:\\\\Dumps\\\\app\nDumpCount=10\n" + kSystem + full, app, 10, 2, false);
    }

    void matchRules()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, folder);
        QFETCH(int, count);
        QFETCH(int, type);
        if (const int system = ini.indexOf(kSystem); system >= 0) {
            QVERIFY(writeAll(iniPath("app.exe", true), ini.mid(system + kSystem.size())));
            ini.truncate(system);
        }
        QVERIFY(ini.isEmpty() || (ini == "<dir>" ? QDir().mkpath(iniPath("app.exe")) : writeAll(iniPath("app.exe"), ini)));
        QTEST(isLocalDumpRegistered("app.exe", folder, count, type), "registered");
    }

    // Valid entries are written (the registration loop below shows them read back), every invalid one
    // is skipped with a reason; a bad command line gets the usage line. Nothing goes to the streams
    // inherited from the host: the lines are in the tool's private log beside the settings.
    void toolOnItsOwn()
    {
        {
            AsOrdinaryUser user;
            QVERIFY(user.ok && QDir().mkpath(iniPath("h.exe")));
        }
        QCOMPARE(run(KIVREGWER, {R"([{"m_appName":"a.exe","m_count":0,"m_dmpPath":"D:/x y","m_type":1},5,)"
                                 R"({"m_appName":"c.exe","m_count":"10","m_dmpPath":"x","m_type":2},{"m_appName":"d.exe","m_count":1.5,"m_dmpPath":"x","m_type":2},)"
                                 R"({"m_appName":"e.exe","m_count":1,"m_dmpPath":"x"},{"m_appName":"../f.exe","m_count":1,"m_dmpPath":"x","m_type":1},)"
                                 R"({"m_appName":"g.exe","m_count":1,"m_dmpPath":7,"m_type":1},)"
                                 R"({"m_appName":"h.exe","m_count":1,"m_dmpPath":"x","m_type":1}])"}), 1);
        QCOMPARE(m_lines, QStringList());
        QCOMPARE(QFile::permissions(settingsPath("KivRegWER.log")) & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
                 QFile::Permissions());
        m_lines = QString::fromUtf8(TestFiles::readAll(settingsPath("KivRegWER.log"))).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(count("skipped"), 7);
        QCOMPARE(count("entry 7 skipped: cannot write"), 1);
        QVERIFY(isLocalDumpRegistered("a.exe", "D:/x y", 0, 1));
        QCOMPARE(QDir(settingsPath("")).entryList({"*.ini"}, QDir::Files), QStringList("a.exe.ini"));

        QCOMPARE(run(KIVREGWER, {"[]"}), 0);
        for (const QStringList &arguments : QList<QStringList>{{R"({"m_appName":"a.exe"})"}, {"[1,"}, {}, {"[]", "[]"}}) {
            QCOMPARE(run(KIVREGWER, arguments), 2);
            QCOMPARE(m_lines, QStringList());
            QVERIFY(TestFiles::readAll(settingsPath("KivRegWER.log")).trimmed().split('\n').constLast().startsWith("usage: KivRegWER.exe"));
        }
    }

    // Sub-process entries in list order (a matching one left out), then the host's, once, at the first
    // start only; a later StartCrash or subProcessInfo adds nothing to what the tool gets. Without a
    // tool nothing changes for the host; the real tool (behind a recorder of its arguments) registers
    // the entries, and the next run finds every value and starts none.
    void registrationLoop()
    {
        {
            AsOrdinaryUser user; // what the test puts there belongs to the user the host runs as
            QVERIFY(user.ok && writeAll(iniPath("ok.exe"), "[General]\nDumpFolder=D:\\\\Dumps\\\\ok\nDumpCount=1\nDumpType=2\n"));
        }
        const char *scenario = R"([[["worker.exe","D:\\Dumps\\worker",1,10],["ok.exe","D:\\Dumps\\ok",2,1],["render.exe","D:/Dumps/render",2,5]],
                                   ["C:/Dumps/app",20,3], ["E:/other",7,1], [["late.exe","L",1,1]]])";
        QCOMPARE(runHost(scenario), 0);
        QCOMPARE(count("start KivRegWER, args is:", "info") + count("KivCrashHandler Path:"), 2);

        {
            AsOrdinaryUser user;
            QVERIFY(user.ok && writeAll(m_tool, "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" >> \"${0%/*}/KivRegWER.calls\"\nexec '" KIVREGWER "' \"$@\"\n"));
            QVERIFY(QFile::setPermissions(m_tool, QFile::ReadOwner | QFile::ExeOwner));
        }
        QCOMPARE(runHost(scenario), 0);
        QCOMPARE(count("CrashManage::actualStart Actual had started") + count(R"(dmpCreatePath: "D:\\Dumps\\ok")") + count(R"(append: "late.exe")"), 3);
        QCOMPARE(count(QStringLiteral("] start KivRegWER, args is: (\"[{\\\"m_appName\\\":\\\"worker.exe\\\",\\\"m_count\\\":10,\\\"m_dmpPath\\\":\\\"D:\\\\\\\\Dumps\\\\\\\\worker\\\",")), 1);
        QTRY_COMPARE_WITH_TIMEOUT(TestFiles::readAll(m_hostDir->filePath("KivRegWER.calls")),
                                  QByteArray("1\n" R"([{"m_appName":"worker.exe","m_count":10,"m_dmpPath":"D:\\Dumps\\worker","m_type":1},)"
                                             R"({"m_appName":"render.exe","m_count":5,"m_dmpPath":"D:/Dumps/render","m_type":2},)"
                                             R"({"m_appName":"WerHost.exe","m_count":20,"m_dmpPath":"C:\\Dumps\\app","m_type":3}])" "\n"),
                                  20000);
        // The tool runs detached: wait for what it writes.
        QTRY_VERIFY_WITH_TIMEOUT(isLocalDumpRegistered("worker.exe", R"(D:\Dumps\worker)", 10, 1) && isLocalDumpRegistered("render.exe", "D:/Dumps/render", 5, 2)
                                     && isLocalDumpRegistered("WerHost.exe", R"(C:\Dumps\app)", 20, 3), 20000);

        QCOMPARE(runHost(scenario), 0);
        QCOMPARE(count("start KivRegWER"), 0);
        QCOMPARE(count("jsonArr is empty", "critical"), 1);
        // The host's line, whole: the signature is the one of the step that writes it.
        QVERIFY2(m_lines.contains(R"(info [OstrelSDk] [ void CrashManage::startDetach(const QString&, const QString&, const QString&, )"
                                  R"(const QString&, int, int, const QString&) ] CrashManage dmpCreatePath: "C:\\Dumps\\app")"),
                 qPrintable(m_lines.join('\n')));
        QCOMPARE(count("dmpCreatePath:"), 4);
    }
};

QTEST_GUILESS_MAIN(tst_WerRegistration)
#include "tst_werregistration.moc"
