// Local-dump registration against Windows' own registry (under Wine in the Windows lane, in a prefix
// of the lane's own): the library's check reads values of every type a user or WER's documentation
// may have left there, KivRegWER.exe writes them as WER documents them and touches nothing else, and
// a host registers once through the tool and finds its values on the next start.

#include "crashmanage/werregistration.h"
#include "elevation.h"

#include <QtTest>

#include <cstring>

#include <windows.h>
#include <shellapi.h>

namespace {

const wchar_t kLocalDumps[] = L"Software\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps";

std::wstring keyOf(const QString &exe)
{
    return std::wstring(kLocalDumps) + L"\\" + exe.toStdWString();
}

void removeKey(const QString &exe)
{
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keyOf(exe).c_str(), KEY_WOW64_64KEY, 0);
}

// Sets one value of the executable's key: a QString as `type` (REG_SZ or REG_EXPAND_SZ), an int as REG_DWORD.
bool setValue(const QString &exe, const wchar_t *name, const QVariant &value, DWORD type = REG_SZ)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyOf(exe).c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG rc;
    if (value.type() == QVariant::Int) {
        const DWORD number = DWORD(value.toInt());
        rc = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), sizeof(number));
    } else {
        const std::wstring text = value.toString().toStdWString();
        rc = RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE *>(text.c_str()),
                            DWORD((text.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

// "<type>:<value>" of one value as stored, or "absent".
QString storedValue(const QString &exe, const wchar_t *name)
{
    wchar_t data[512] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, keyOf(exe).c_str(), name, RRF_RT_ANY | RRF_NOEXPAND | RRF_SUBKEY_WOW6464KEY, &type,
                     data, &size) != ERROR_SUCCESS)
        return QStringLiteral("absent");
    if (type == REG_DWORD) {
        DWORD number = 0;
        std::memcpy(&number, data, sizeof(number));
        return QStringLiteral("REG_DWORD:%1").arg(int(number));
    }
    return QStringLiteral("%1:%2").arg(type == REG_EXPAND_SZ ? QStringLiteral("REG_EXPAND_SZ") : QStringLiteral("REG_SZ"),
                                       QString::fromWCharArray(data));
}

QString stored(const QString &exe)
{
    return storedValue(exe, L"DumpFolder") + QLatin1Char('|') + storedValue(exe, L"DumpCount") + QLatin1Char('|')
            + storedValue(exe, L"DumpType");
}

QString toolLogPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1String("/KivRegWER/KivRegWER.log");
}

} // namespace

class tst_WerRegistry : public QObject
{
    Q_OBJECT

private slots:
    void matchRules_data();
    void matchRules();
    void toolWritesAsWerDocuments();
    void twoRunLoopThroughTool();
    void elevatedRunArgument_data();
    void elevatedRunArgument();

private:
    int run(const QString &program, const QStringList &arguments);
    int count(const QString &part) const { return m_lines.filter(part).size(); }

    QStringList m_lines; // stderr of the last run
};

int tst_WerRegistry::run(const QString &program, const QStringList &arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.info=true"));
    env.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{type} %{message}"));
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1")); // not the debugger channel
    env.remove(QStringLiteral("OSTREL_STANDIN_DIR"));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    process.kill();
    process.waitForFinished();
    m_lines = QString::fromUtf8(process.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return finished ? process.exitCode() : -1;
}

void tst_WerRegistry::matchRules_data()
{
    // Values as they lie in the registry (a QString as REG_SZ, an int as REG_DWORD, an invalid
    // QVariant leaves the value out), with `expandFolder` storing the folder as REG_EXPAND_SZ.
    // How values are compared once read (case, differing numbers, negative ones) is the same code
    // on every platform: tst_werregistration's rows pin it.
    QTest::addColumn<QVariant>("folder");
    QTest::addColumn<bool>("expandFolder");
    QTest::addColumn<QVariant>("count");
    QTest::addColumn<QVariant>("type");
    QTest::addColumn<QString>("wantedFolder");
    QTest::addColumn<bool>("registered");

    const QString app = QStringLiteral(R"(C:\Dumps\app)");
    const QVariant none;
    QTest::newRow("REG_SZ and REG_DWORD equal") << QVariant(app) << false << QVariant(10) << QVariant(2) << app << true;
    QTest::newRow("%LOCALAPPDATA% kept as written")
        << QVariant(QStringLiteral(R"(%LOCALAPPDATA%\CrashDumps)")) << true << QVariant(10) << QVariant(2)
        << QStringLiteral(R"(%LOCALAPPDATA%\CrashDumps)") << true;
    QTest::newRow("%LOCALAPPDATA% not expanded")
        << QVariant(QStringLiteral(R"(%LOCALAPPDATA%\CrashDumps)")) << true << QVariant(10) << QVariant(2)
        << QDir::toNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1String("/CrashDumps"))
        << false;
    QTest::newRow("numbers stored as text") << QVariant(app) << false << QVariant(QStringLiteral("10")) << QVariant(QStringLiteral("2")) << app << true;
    QTest::newRow("count absent") << QVariant(app) << false << none << QVariant(2) << app << false;
    QTest::newRow("folder absent, empty wanted") << none << false << QVariant(10) << QVariant(2) << QString() << false;
    QTest::newRow("no key") << none << false << none << none << app << false;
}

void tst_WerRegistry::matchRules()
{
    QFETCH(QVariant, folder);
    QFETCH(bool, expandFolder);
    QFETCH(QVariant, count);
    QFETCH(QVariant, type);
    QFETCH(QString, wantedFolder);
    const QString exe = QStringLiteral("ostrel-match.exe");
    removeKey(exe);
    QVERIFY(!folder.isValid() || setValue(exe, L"DumpFolder", folder, expandFolder ? REG_EXPAND_SZ : REG_SZ));
    QVERIFY(!count.isValid() || setValue(exe, L"DumpCount", count));
    QVERIFY(!type.isValid() || setValue(exe, L"DumpType", type));
    QTEST(isLocalDumpRegistered(exe, wantedFolder, 10, 2), "registered");
    removeKey(exe);
}

// Good entries are written (DumpFolder as REG_EXPAND_SZ, the numbers as REG_DWORD: values of these
// types pass the library's check in matchRules); each bad one is skipped with its reason in the
// tool's log file; a key the argument does not name keeps its values.
void tst_WerRegistry::toolWritesAsWerDocuments()
{
    const QStringList names {QStringLiteral("ostrel-a.exe"), QStringLiteral("ostrel-b.exe"), QStringLiteral("ostrel-c.exe"),
                             QStringLiteral("ostrel-other.exe")};
    for (const QString &name : names)
        removeKey(name);
    QVERIFY(setValue(names.at(3), L"DumpFolder", QStringLiteral(R"(D:\keep)")));
    QFile::remove(toolLogPath());

    const QString argument = QStringLiteral(
        R"([{"m_appName":"ostrel-a.exe","m_count":10,"m_dmpPath":"%LOCALAPPDATA%\\Dumps \"q\"","m_type":2},)"
        R"({"m_appName":"ostrel-b.exe","m_count":"10","m_dmpPath":"x","m_type":2},)"
        R"({"m_appName":"..\\ostrel-c.exe","m_count":1,"m_dmpPath":"x","m_type":1},)"
        R"({"m_appName":"ostrel-c.exe","m_count":0,"m_dmpPath":"","m_type":-1},7])");
    QCOMPARE(run(QStringLiteral(KIVREGWER), {argument}), 1);

    QCOMPARE(stored(names.at(0)), QStringLiteral(R"(REG_EXPAND_SZ:%LOCALAPPDATA%\Dumps "q"|REG_DWORD:10|REG_DWORD:2)"));
    QCOMPARE(stored(names.at(1)), QStringLiteral("absent|absent|absent"));
    QCOMPARE(stored(names.at(2)), QStringLiteral("REG_EXPAND_SZ:|REG_DWORD:0|REG_DWORD:-1"));
    QCOMPARE(stored(names.at(3)), QStringLiteral(R"(REG_SZ:D:\keep|absent|absent)"));

    QFile log(toolLogPath());
    QVERIFY2(log.open(QIODevice::ReadOnly), qPrintable(log.fileName()));
    const QString logged = QString::fromUtf8(log.readAll());
    for (const char *line : {"entry 1 skipped: \"m_count\" is not an integer",
                             "entry 2 skipped: \"m_appName\" is not an executable file name", "entry 4 skipped: not an object"})
        QVERIFY2(logged.contains(QLatin1String(line)), qPrintable(logged));
    QCOMPARE(logged.count(QLatin1String("skipped")), 3);
    for (const QString &name : names)
        removeKey(name);
}

// First host start: the values differ, the host hands its entries to the tool (Windows' quoting of
// the JSON argument included), which writes them; second start: they match, no tool is started.
void tst_WerRegistry::twoRunLoopThroughTool()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString host = dir.filePath(QStringLiteral("wer_host.exe"));
    QVERIFY(QFile::copy(QStringLiteral(WER_HOST), host));
    QVERIFY(QFile::copy(QStringLiteral(KIVREGWER), dir.filePath(QStringLiteral("KivRegWER.exe"))));
    const QStringList exes {QStringLiteral("WerHost.exe"), QStringLiteral("worker.exe")};
    for (const QString &exe : exes)
        removeKey(exe);

    const QString scenario = QStringLiteral(R"([[["worker.exe","D:\\Dumps\\work er \"1\"\\",1,10]], ["C:/Dumps/app",20,3]])");
    QCOMPARE(run(host, {scenario}), 0);
    QCOMPARE(count(QStringLiteral("start KivRegWER, args is:")), 1);
    QTRY_VERIFY_WITH_TIMEOUT(isLocalDumpRegistered(exes.at(0), QStringLiteral(R"(C:\Dumps\app)"), 20, 3)
                                 && isLocalDumpRegistered(exes.at(1), QStringLiteral(R"(D:\Dumps\work er "1"\)"), 10, 1),
                             30000);

    QCOMPARE(run(host, {scenario}), 0);
    QCOMPARE(count(QStringLiteral("start KivRegWER")), 0);
    QCOMPARE(count(QStringLiteral("jsonArr is empty")), 1);
    QCOMPARE(count(QStringLiteral(R"(CrashManage dmpCreatePath: "C:\\Dumps\\app")")), 1);
    for (const QString &exe : exes)
        removeKey(exe);
}

// Without the rights to write, the tool asks for them once (the elevated run, marked, never asks
// again), says why it wrote nothing in its log file and exits with 3.
void tst_WerRegistry::elevatedRunArgument_data()
{
    QTest::addColumn<QString>("argument");
    QTest::newRow("empty") << QString();
    QTest::newRow("spaces") << QStringLiteral("a b  c");
    QTest::newRow("quotes") << QStringLiteral(R"("a" "" b")");
    QTest::newRow("backslashes") << QStringLiteral(R"(C:\b\)");
    QTest::newRow("backslashes before quotes") << QStringLiteral(R"(a"b\"c\")");
    QTest::newRow("entries") << QStringLiteral(
        R"([{"m_appName":"a b.exe","m_count":1,"m_dmpPath":"%LOCALAPPDATA%\D "x"\","m_type":2}])");
}

void tst_WerRegistry::elevatedRunArgument()
{
    QFETCH(QString, argument);
    const std::wstring line = (QStringLiteral("KivRegWER.exe ") + elevatedOption() + QLatin1Char(' ')
                               + quotedArgument(argument)).toStdWString();
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(line.c_str(), &argc);
    QVERIFY(argv);
    QStringList parsed;
    for (int i = 0; i < argc; ++i)
        parsed << QString::fromWCharArray(argv[i]);
    LocalFree(argv);
    QCOMPARE(parsed, QStringList({QStringLiteral("KivRegWER.exe"), elevatedOption(), argument}));
}

QTEST_GUILESS_MAIN(tst_WerRegistry)
#include "tst_werregistry.moc"
