// Crash capture on Windows, on a real host process: how its end is read from its exit code, what is
// learned while it runs, the minidump of a live process and the one it writes of its own crash, and
// the whole capture (dump found where WER's LocalDumps put it, read in a child process, kept beside
// the report) or the stated reason why there is no dump.

#include "capture/capture.h"
#include "capture/coreanalysis.h"
#include "capture/minidump.h"

#include <QtTest>

#include <windows.h>
#include <dbghelp.h>

#include <string>

namespace {

const wchar_t kLocalDumpsKey[] = L"Software\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps\\win_crash_host.exe";

// The host, started and waiting for "go"; the test holds a handle to it, as the handler does.
struct Host
{
    QProcess process;
    HANDLE handle = nullptr;
    qint64 mainTid = 0;

    explicit Host(const QStringList &arguments)
    {
        process.start(QStringLiteral(OSTREL_CRASH_HOST), arguments);
        if (!process.waitForStarted(10000))
            return;
        handle = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | PROCESS_VM_READ
                                     | PROCESS_QUERY_INFORMATION | PROCESS_DUP_HANDLE,
                             FALSE, DWORD(process.processId()));
        if (process.waitForReadyRead(10000))
            mainTid = QString::fromLatin1(process.readLine()).section(QLatin1Char(' '), 1, 1).toLongLong(); // "ready <tid> <pid>"
    }
    ~Host()
    {
        process.kill();
        process.waitForFinished(10000);
        if (handle)
            CloseHandle(handle);
    }
    qint64 pid() const { return process.processId(); }
    void go()
    {
        process.write("go\n");
        process.waitForBytesWritten(10000);
    }
};

// The host's WER LocalDumps key (full dumps into `folder`) while it lives.
struct LocalDumpsRegistration
{
    bool ok = false;
    explicit LocalDumpsRegistration(const QString &folder)
    {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLocalDumpsKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return;
        const std::wstring text = folder.toStdWString();
        const DWORD type = 2;
        ok = RegSetValueExW(key, L"DumpFolder", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                            DWORD((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS
                && RegSetValueExW(key, L"DumpType", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&type), sizeof type) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ~LocalDumpsRegistration() { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kLocalDumpsKey, KEY_WOW64_64KEY, 0); }
};

} // namespace

class TestWinCapture : public QObject
{
    Q_OBJECT

private slots:
    void processEnds_data();
    void processEnds();
    void liveDump();
    void capture_data();
    void capture();
#ifdef OSTREL_HANDLER
    void handlerReports_data();
    void handlerReports();
#endif
};

void TestWinCapture::processEnds_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("endJson");
    QTest::newRow("access violation") << "av" << int(ProcessEnd::Crashed)
            << R"({"exceptionCode":"0xC0000005","exceptionName":"EXCEPTION_ACCESS_VIOLATION","kind":"crashed"})";
    QTest::newRow("divide by zero") << "divide" << int(ProcessEnd::Crashed)
            << R"({"exceptionCode":"0xC0000094","exceptionName":"EXCEPTION_INT_DIVIDE_BY_ZERO","kind":"crashed"})";
    QTest::newRow("exit code") << "exit" << int(ProcessEnd::Exited) << R"({"exitCode":3,"kind":"exited"})";
    QTest::newRow("ctrl-c") << "" << int(ProcessEnd::Killed)
            << R"({"exceptionCode":"0xC000013A","exceptionName":"STATUS_CONTROL_C_EXIT","kind":"killed"})";
}

void TestWinCapture::processEnds()
{
    QFETCH(QString, mode);
    QFETCH(int, kind);
    QFETCH(QString, endJson);
    Host host({mode});
    QVERIFY(host.handle);
    QVERIFY(host.mainTid > 0);

    // What is learned while it runs.
    ProcessFacts facts;
    facts.pid = host.pid();
    facts.refresh();
    QVERIFY2(facts.executable.endsWith(QLatin1String("win_crash_host.exe"), Qt::CaseInsensitive), qPrintable(facts.executable));
    QVERIFY(facts.threads.contains(host.mainTid));
    QVERIFY(facts.threads.size() >= 2);

    if (mode.isEmpty())
        TerminateProcess(host.handle, 0xc000013a);
    else
        host.go();
    const ProcessEnd end = readProcessEnd(qintptr(host.handle), 10000);
    QCOMPARE(int(end.kind), kind);
    QCOMPARE(QString::fromUtf8(QJsonDocument(end.toJson()).toJson(QJsonDocument::Compact)), endJson);
}

// A dump the test writes of the live host (no exception), then the one the host writes of its own
// crash from a vectored exception handler, with the exception.
void TestWinCapture::liveDump()
{
    QTemporaryDir folder;
    Host host({QStringLiteral("dump"), QDir::toNativeSeparators(folder.path())});
    QVERIFY(host.handle);
    const QString livePath = folder.filePath(QStringLiteral("live.dmp"));
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(livePath).utf16()), GENERIC_WRITE, 0,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    QVERIFY(file != INVALID_HANDLE_VALUE);
    const bool written = MiniDumpWriteDump(host.handle, DWORD(host.pid()), file, MiniDumpNormal, nullptr, nullptr, nullptr);
    CloseHandle(file);
    QVERIFY(written);

    const QJsonObject live = CoreAnalysis::analyze(livePath, QString());
    QVERIFY2(!live.contains(QStringLiteral("error")), qPrintable(live[QStringLiteral("error")].toString()));
    QVERIFY(!live.contains(QStringLiteral("exceptionCode")));
    QStringList tids;
    for (const QJsonValue &t : live[QStringLiteral("threads")].toArray())
        tids.append(QString::number(t[QStringLiteral("tid")].toInt()));
    QVERIFY2(tids.contains(QString::number(host.mainTid)), qPrintable(tids.join(QLatin1Char(' '))));
    QCOMPARE(live[QStringLiteral("modules")][0][QStringLiteral("name")].toString().toLower(), QStringLiteral("win_crash_host.exe"));

    host.go();
    const ProcessEnd end = readProcessEnd(qintptr(host.handle), 10000);
    QCOMPARE(end.exceptionCode, 0xc0000005u);
    const QString ownPath = folder.filePath(QStringLiteral("win_crash_host.exe.%1.dmp").arg(host.pid()));
    const QJsonObject own = CoreAnalysis::analyze(ownPath, QString());
    QVERIFY2(!own.contains(QStringLiteral("error")), qPrintable(own[QStringLiteral("error")].toString()));
    QCOMPARE(own[QStringLiteral("exceptionName")].toString(), QStringLiteral("EXCEPTION_ACCESS_VIOLATION"));
    QCOMPARE(own[QStringLiteral("access")].toString(), QStringLiteral("writing"));
    QCOMPARE(own[QStringLiteral("address")].toString(), QStringLiteral("0x0"));
    QCOMPARE(own[QStringLiteral("pid")].toDouble(), double(host.pid()));
    QCOMPARE(own[QStringLiteral("crashingTid")].toDouble(), double(host.mainTid));
    QCOMPARE(own[QStringLiteral("faultingModule")].toString().toLower(), QStringLiteral("win_crash_host.exe"));
    QCOMPARE(own[QStringLiteral("threads")][0][QStringLiteral("crashing")].toBool(), true);
}

void TestWinCapture::capture_data()
{
    QTest::addColumn<bool>("registered");
    QTest::addColumn<bool>("writesDump");
    QTest::addColumn<QString>("summary"); // a pattern; <folder> stands for the dump folder
    QTest::newRow("dump found and read") << true << true
            << R"(win_crash_host crashed: EXCEPTION_ACCESS_VIOLATION \(0xC0000005\) writing 0x0 in thread \d+: win_crash_host\.exe\+0x[0-9a-f]+)";
    QTest::newRow("no dump written") << true << false
            << R"(win_crash_host crashed: EXCEPTION_ACCESS_VIOLATION \(0xC0000005; no dump: no dump written within 3000 ms in <folder>\))";
    QTest::newRow("not registered") << false << false
            << R"(win_crash_host crashed: EXCEPTION_ACCESS_VIOLATION \(0xC0000005; no dump: no local dumps registered for win_crash_host\.exe\))";
}

// The whole capture as the handler runs it once the host has ended, the dump read in a child
// process (this test program, which answers "--analyze-core" as the handler does).
void TestWinCapture::capture()
{
    QFETCH(bool, registered);
    QFETCH(bool, writesDump);
    QFETCH(QString, summary);
    QTemporaryDir dumps;
    QTemporaryDir reports;
    // The folder is registered as WER's REG_EXPAND_SZ with a variable in it.
    qputenv("OSTREL_TEST_DUMPS", QDir::toNativeSeparators(dumps.path()).toLocal8Bit());
    QScopedPointer<LocalDumpsRegistration> registration;
    if (registered) {
        registration.reset(new LocalDumpsRegistration(QStringLiteral("%OSTREL_TEST_DUMPS%")));
        QVERIFY(registration->ok);
    }

    Host host(writesDump ? QStringList {QStringLiteral("dump"), QDir::toNativeSeparators(dumps.path())} : QStringList {QStringLiteral("av")});
    QVERIFY(host.handle);
    ProcessFacts facts;
    facts.pid = host.pid();
    facts.watchedSince = QDateTime::currentDateTimeUtc();
    facts.raiseCoreLimit();
    facts.refresh();
    QCOMPARE(facts.coreLimitRaised, registered);
    host.go();

    Capture::Options options;
    options.appName = QStringLiteral("win_crash_host");
    options.program = QCoreApplication::applicationFilePath();
    options.dumpFolder = reports.path();
    options.keptDumpPath = reports.filePath(QStringLiteral("report.core"));
    const Capture::Result result = Capture::run(facts, readProcessEnd(qintptr(host.handle), 10000), options);

    const QString folder = QDir::toNativeSeparators(QDir::cleanPath(dumps.path()));
    const QString pattern = QRegularExpression::anchoredPattern(summary.replace(QLatin1String("<folder>"), QRegularExpression::escape(folder)));
    QVERIFY2(QRegularExpression(pattern, QRegularExpression::CaseInsensitiveOption).match(result.summary).hasMatch(), qPrintable(result.summary));
    QCOMPARE(result.journal[QStringLiteral("summary")].toString(), result.summary);
    const QJsonObject core = result.report[QStringLiteral("core")].toObject();
    if (registered && writesDump) {
        QCOMPARE(core[QStringLiteral("keptAt")].toString(), reports.filePath(QStringLiteral("report.dmp")));
        QVERIFY(QFile::exists(reports.filePath(QStringLiteral("report.dmp"))));
        QVERIFY(QDir(dumps.path()).isEmpty());
        QCOMPARE(result.report[QStringLiteral("analysis")][QStringLiteral("pid")].toDouble(), double(host.pid()));
    } else {
        QVERIFY(!result.report.contains(QStringLiteral("analysis")));
    }
    // None registered: no waiting for a dump that cannot come.
    if (!registered)
        QVERIFY(result.report[QStringLiteral("captureMs")].toDouble() < Capture::kCoreWaitMs);
}

#ifdef OSTREL_HANDLER
void TestWinCapture::handlerReports_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("exitClient");
    QTest::addColumn<QString>("summary"); // a pattern; empty: no report
    QTest::newRow("access violation") << "dump" << false
            << R"(win_crash_host crashed: EXCEPTION_ACCESS_VIOLATION \(0xC0000005\) writing 0x0 in thread \d+: win_crash_host\.exe\+0x[0-9a-f]+)";
    QTest::newRow("exit code") << "exit" << false << R"(win_crash_host exited with status 3 without saying ExitClient)";
    QTest::newRow("ExitClient") << "exit" << true << QString();
}

// The reference handler watching the host: the report's first line; after "ExitClient" no report,
// and the session's journal removed.
void TestWinCapture::handlerReports()
{
    QFETCH(QString, mode);
    QFETCH(bool, exitClient);
    QFETCH(QString, summary);
    QTemporaryDir wer;
    QTemporaryDir dumps;
    const LocalDumpsRegistration registration(QDir::toNativeSeparators(wer.path()));
    QVERIFY(registration.ok);
    Host host({mode, QDir::toNativeSeparators(wer.path())});
    QVERIFY(host.handle);
    QProcess handler;
    handler.setProcessChannelMode(QProcess::ForwardedChannels);
    handler.start(QStringLiteral(OSTREL_HANDLER), {QString::number(host.pid()), QDir::toNativeSeparators(dumps.path()),
                                                  QStringLiteral("win_crash_host"), QStringLiteral("client"), QString(), QString(), QString()});
    const auto ask = [&host](const QByteArray &line) {
        host.process.write(line + '\n');
        host.process.waitForBytesWritten(10000);
        return host.process.waitForReadyRead(10000) ? host.process.readLine().trimmed() : QByteArray();
    };
    bool connected = false;
    QElapsedTimer clock;
    clock.start();
    // Connecting once the handler has journaled its start, as the library connects only a while
    // after launching it.
    while (QDir(dumps.path()).entryList({QStringLiteral("*.journal.jsonl")}).isEmpty() && clock.elapsed() < 20000)
        QThread::msleep(20);
    while (!connected && clock.elapsed() < 20000) {
        QThread::msleep(50);
        connected = ask("connect Kiv_Crash_Handler_" + QByteArray::number(host.pid())) == "connected";
    }
    // What the handler journaled so far, to show when it did not answer.
    const auto journalText = [&dumps] {
        QByteArray text;
        for (const QString &name : QDir(dumps.path()).entryList({QStringLiteral("*.journal.jsonl")})) {
            QFile file(dumps.filePath(name));
            if (file.open(QIODevice::ReadOnly))
                text += file.readAll();
        }
        return text;
    };
    QVERIFY(connected);
    QVERIFY2(ask("send cloudConfig@a@b").startsWith("ok"), journalText().constData());
    if (exitClient)
        QVERIFY2(ask("send ExitClient").startsWith("ok"), journalText().constData());
    host.go();
    QVERIFY(handler.waitForFinished(30000));
    QCOMPARE(handler.exitStatus(), QProcess::NormalExit);
    QCOMPARE(handler.exitCode(), 0);

    const QStringList reports = QDir(dumps.path()).entryList({QStringLiteral("*.json")});
    const QStringList journals = QDir(dumps.path()).entryList({QStringLiteral("*.journal.jsonl")});
    if (summary.isEmpty()) {
        QCOMPARE(reports, QStringList());
        QCOMPARE(journals, QStringList());
        return;
    }
    QCOMPARE(journals.size(), 1);
    QFile journal(dumps.filePath(journals.first()));
    QVERIFY(journal.open(QIODevice::ReadOnly));
    const QByteArray lines = journal.readAll();
    QCOMPARE(reports.size(), 1);
    QFile report(dumps.filePath(reports.first()));
    QVERIFY(report.open(QIODevice::ReadOnly));
    const QByteArray firstLine = report.readLine().trimmed();
    const QRegularExpression expected(QStringLiteral(R"(^\{"summary": "%1",$)").arg(summary));
    QVERIFY2(expected.match(QString::fromUtf8(firstLine)).hasMatch(), firstLine.constData());
    QVERIFY2(lines.contains("\"event\":\"hostEnd\""), lines.constData());
}
#endif

int main(int argc, char **argv)
{
    int exitCode = 0;
    if (CoreAnalysis::runChild(argc, argv, &exitCode))
        return exitCode;
    QCoreApplication app(argc, argv);
    TestWinCapture test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wincapture.moc"
