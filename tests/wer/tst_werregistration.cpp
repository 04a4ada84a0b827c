// The registration tool on its own, the exact argument a host hands to it, and the two-run loop:
// a first host run registers through the real tool, a second one finds the values and starts none.
// Hosts run as child processes from a temporary folder that holds the host and a KivRegWER.exe.

#include "crashmanage/localdumpsettings.h"
#include "crashmanage/werregistration.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run
{
    int exitCode = -1;
    QStringList stderrLines;

    int count(const QString &part) const { return stderrLines.filter(part).size(); }
};

} // namespace

class tst_WerRegistration : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void toolOnItsOwn();
    void registrationArgument();
    void twoRunLoopThroughTool();
    void toolMissingOrNotExecutable();

private:
    Run run(const QString &program, const QStringList &arguments);
    void prepareHostDir(const QString &tool);
    Run runHost(const QByteArray &spec) { return run(m_hostDir->filePath(QStringLiteral("wer_host")), {QString::fromUtf8(spec)}); }
    void writeSettings(const QString &exe, const QString &folder, int count, int type);

    QScopedPointer<QTemporaryDir> m_home;
    QScopedPointer<QTemporaryDir> m_settings;
    QScopedPointer<QTemporaryDir> m_hostDir;
};

void tst_WerRegistration::init()
{
    m_home.reset(new QTemporaryDir);
    m_settings.reset(new QTemporaryDir);
    m_hostDir.reset(new QTemporaryDir);
    QVERIFY(m_home->isValid() && m_settings->isValid() && m_hostDir->isValid());
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_settings->path());
}

// Runs a child to its end with the settings folder, a private HOME and no stand-in recording.
Run tst_WerRegistration::run(const QString &program, const QStringList &arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_home->path());
    env.insert(QStringLiteral("OSTREL_WER_SETTINGS_DIR"), m_settings->path());
    for (const char *name : {"OSTREL_STANDIN_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "QT_LOGGING_RULES"})
        env.remove(QLatin1String(name));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    Run result;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        qWarning("%s did not finish", qPrintable(program));
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.stderrLines = QString::fromUtf8(process.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return result;
}

void tst_WerRegistration::prepareHostDir(const QString &tool)
{
    QVERIFY(QFile::copy(QStringLiteral(WER_HOST), m_hostDir->filePath(QStringLiteral("wer_host"))));
    QVERIFY(QFile::copy(tool, m_hostDir->filePath(QStringLiteral("KivRegWER.exe"))));
}

void tst_WerRegistration::writeSettings(const QString &exe, const QString &folder, int count, int type)
{
    QSettings settings(QSettings::IniFormat, QSettings::SystemScope, localDumpsOrganization(), exe);
    settings.setValue(QStringLiteral("DumpFolder"), folder);
    settings.setValue(QStringLiteral("DumpCount"), count);
    settings.setValue(QStringLiteral("DumpType"), type);
    settings.sync();
    QCOMPARE(settings.status(), QSettings::NoError);
}

void tst_WerRegistration::toolOnItsOwn()
{
    const QString tool = QStringLiteral(KIVREGWER);
    const auto settingsOf = [](const char *exe) { return readLocalDumpSettings(QLatin1String(exe)); };

    Run r = run(tool, {QStringLiteral(R"([{"m_appName":"a.exe","m_count":10,"m_dmpPath":"C:\\Dumps\\a b","m_type":2},)"
                                      R"({"m_appName":"b.exe","m_count":0,"m_dmpPath":"","m_type":1}])")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.stderrLines, QStringList());
    QCOMPARE(settingsOf("a.exe").dumpFolder, QStringLiteral(R"(C:\Dumps\a b)"));
    QCOMPARE(settingsOf("a.exe").dumpCount, 10);
    QCOMPARE(settingsOf("a.exe").dumpType, 2);
    QCOMPARE(settingsOf("b.exe").dumpFolder, QString());
    QCOMPARE(settingsOf("b.exe").dumpCount, 0);
    QCOMPARE(settingsOf("b.exe").dumpType, 1);
    // What the tool writes is what the library's check finds.
    QVERIFY(isLocalDumpRegistered(QStringLiteral("a.exe"), QStringLiteral(R"(C:\Dumps\a b)"), 10, 2));

    // Valid entries are written (a.exe overwritten), every invalid one is skipped with a reason.
    QVERIFY(QDir().mkpath(m_settings->filePath(localDumpsOrganization() + QLatin1String("/h.exe.ini"))));
    r = run(tool, {QStringLiteral(R"([{"m_appName":"a.exe","m_count":3,"m_dmpPath":"D:/x","m_type":1},5,)"
                                  R"({"m_appName":"c.exe","m_count":"10","m_dmpPath":"x","m_type":2},)"
                                  R"({"m_appName":"d.exe","m_count":1.5,"m_dmpPath":"x","m_type":2},)"
                                  R"({"m_appName":"e.exe","m_count":1,"m_dmpPath":"x"},)"
                                  R"({"m_appName":"../f.exe","m_count":1,"m_dmpPath":"x","m_type":1},)"
                                  R"({"m_appName":"g.exe","m_count":1,"m_dmpPath":7,"m_type":1},)"
                                  R"({"m_appName":"h.exe","m_count":1,"m_dmpPath":"x","m_type":1}])")});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.count(QStringLiteral("skipped")), 7);
    QCOMPARE(r.count(QStringLiteral("entry 7 skipped: cannot write")), 1);
    QCOMPARE(settingsOf("a.exe").dumpFolder, QStringLiteral("D:/x"));
    QCOMPARE(settingsOf("a.exe").dumpCount, 3);
    for (const char *skipped : {"c.exe", "d.exe", "e.exe", "g.exe"})
        QVERIFY2(settingsOf(skipped).dumpFolder.isEmpty() && settingsOf(skipped).dumpCount == -1, skipped);
    QVERIFY(!QFile::exists(m_settings->filePath(QStringLiteral("f.exe.ini"))));

    QCOMPARE(run(tool, {QStringLiteral("[]")}).exitCode, 0);
    const QList<QStringList> notAnArray {
        {QStringLiteral(R"({"m_appName":"a.exe"})")}, {QStringLiteral("[1,")}, {}, {QStringLiteral("[]"), QStringLiteral("[]")}};
    for (const QStringList &arguments : notAnArray) {
        r = run(tool, arguments);
        QCOMPARE(r.exitCode, 2);
        QCOMPARE(r.stderrLines.size(), 1);
        QVERIFY(r.stderrLines.first().startsWith(QLatin1String("usage: KivRegWER.exe")));
    }
}

// Sub-process entries in list order (a matching one left out), then the host's, once, at the first
// start only; a later StartCrash or subProcessInfo adds nothing to what the tool gets.
void tst_WerRegistration::registrationArgument()
{
    prepareHostDir(QStringLiteral(REGWER_RECORDER));
    writeSettings(QStringLiteral("ok.exe"), QStringLiteral(R"(D:\Dumps\ok)"), 1, 2);

    const Run r = runHost(R"({"before":[
        {"appName":"worker.exe","dmpPath":"D:\\Dumps\\worker","dmpType":1,"dmpCount":10},
        {"appName":"ok.exe","dmpPath":"D:\\Dumps\\ok","dmpType":2,"dmpCount":1},
        {"appName":"render.exe","dmpPath":"D:/Dumps/render","dmpType":2,"dmpCount":5}],
      "starts":[["C:/Dumps/app",20,3],["E:/other",7,1]],
      "after":[{"appName":"late.exe","dmpPath":"L","dmpType":1,"dmpCount":1}]})");
    QCOMPARE(r.exitCode, 0);

    QFile calls(m_hostDir->filePath(QStringLiteral("KivRegWER.calls")));
    QTRY_VERIFY_WITH_TIMEOUT(calls.exists() && calls.size() > 0, 20000);
    QVERIFY(calls.open(QIODevice::ReadOnly));
    QTRY_VERIFY_WITH_TIMEOUT((calls.seek(0), calls.readAll().endsWith('\n')), 20000);
    calls.seek(0);
    const QList<QByteArray> lines = calls.readAll().split('\n');
    QCOMPARE(lines.size(), 2); // one start, then the empty rest after the final newline
    const QJsonArray arguments = QJsonDocument::fromJson(lines.first()).array();
    QCOMPARE(arguments.size(), 1);
    QCOMPARE(arguments.at(0).toString(),
             QStringLiteral(R"([{"m_appName":"worker.exe","m_count":10,"m_dmpPath":"D:\\Dumps\\worker","m_type":1},)"
                            R"({"m_appName":"render.exe","m_count":5,"m_dmpPath":"D:/Dumps/render","m_type":2},)"
                            R"({"m_appName":"WerHost.exe","m_count":20,"m_dmpPath":"C:\\Dumps\\app","m_type":3}])"));

    QCOMPARE(r.count(QStringLiteral("start KivRegWER, args is:")), 1);
    QCOMPARE(r.count(QStringLiteral("CrashManage::actualStart Actual had started")), 1);
    QCOMPARE(r.count(QStringLiteral(R"(dmpCreatePath: "D:\\Dumps\\ok")")), 1);
    QCOMPARE(r.count(QStringLiteral(R"(append: "late.exe")")), 1);
    QCOMPARE(r.count(QStringLiteral("jsonArr is empty")), 0);
}

void tst_WerRegistration::twoRunLoopThroughTool()
{
    prepareHostDir(QStringLiteral(KIVREGWER));
    const QByteArray spec = R"({"before":[
        {"appName":"worker.exe","dmpPath":"D:\\Dumps\\worker","dmpType":1,"dmpCount":10},
        {"appName":"render.exe","dmpPath":"D:/Dumps/render","dmpType":2,"dmpCount":5}],
      "starts":[["C:/Dumps/app",20,3]]})";

    Run r = runHost(spec);
    QCOMPARE(r.exitCode, 0);
    const QStringList started = r.stderrLines.filter(QStringLiteral("start KivRegWER, args is:"));
    QCOMPARE(started.size(), 1);
    QVERIFY(started.first().startsWith(QLatin1String("I ")));
    // The tool runs detached: wait for what it writes.
    QTRY_VERIFY_WITH_TIMEOUT(isLocalDumpRegistered(QStringLiteral("worker.exe"), QStringLiteral(R"(D:\Dumps\worker)"), 10, 1)
                                     && isLocalDumpRegistered(QStringLiteral("render.exe"), QStringLiteral("D:/Dumps/render"), 5, 2)
                                     && isLocalDumpRegistered(QStringLiteral("WerHost.exe"), QStringLiteral(R"(C:\Dumps\app)"), 20, 3),
                             20000);

    r = runHost(spec);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.count(QStringLiteral("start KivRegWER")), 0);
    const QStringList empty = r.stderrLines.filter(QStringLiteral("jsonArr is empty"));
    QCOMPARE(empty.size(), 1);
    QVERIFY(empty.first().startsWith(QLatin1String("C ")));
    QCOMPARE(r.count(QStringLiteral(R"(CrashManage dmpCreatePath: "C:\\Dumps\\app")")), 1);
    QCOMPARE(r.count(QStringLiteral("dmpCreatePath:")), 3);
}

// The start is fire-and-forget: a tool that is not there or cannot run changes nothing for the host.
void tst_WerRegistration::toolMissingOrNotExecutable()
{
    QVERIFY(QFile::copy(QStringLiteral(WER_HOST), m_hostDir->filePath(QStringLiteral("wer_host"))));
    const QByteArray spec = R"({"starts":[["C:/Dumps/app",20,3]]})";
    Run r = runHost(spec);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.count(QStringLiteral("start KivRegWER, args is:")), 1);
    QCOMPARE(r.count(QStringLiteral("KivCrashHandler Path:")), 1);

    QFile tool(m_hostDir->filePath(QStringLiteral("KivRegWER.exe")));
    QVERIFY(tool.open(QIODevice::WriteOnly));
    tool.write("not a program\n");
    tool.close();
    QVERIFY(tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    r = runHost(spec);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.count(QStringLiteral("start KivRegWER, args is:")), 1);
    QCOMPARE(r.count(QStringLiteral("KivCrashHandler Path:")), 1);
}

QTEST_GUILESS_MAIN(tst_WerRegistration)
#include "tst_werregistration.moc"
