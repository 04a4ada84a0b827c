// Crash capture on Windows, on a real host process: how its end is read from its exit code, what is
// learned while it runs, the minidump of a live process and the one it writes of its own crash, and
// the whole capture (dump found where WER's LocalDumps put it, read in a child process, kept beside
// the report) or the stated reason why there is no dump.

#include "capture/capture.h"
#include "capture/dumpreader.h"
#include "capture/minidump.h"
#include "handlerdriver.h"

#include <QtTest>

#include <windows.h>
#include <dbghelp.h>

#include <string>

namespace {

const wchar_t kLocalDumpsKey[] = L"Software\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps\\win_crash_host.exe";

// The host, started and waiting for "go"; the test holds a handle to it, as the handler does.
struct Host : CrashHost
{
    HANDLE handle = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | PROCESS_VM_READ
                                        | PROCESS_QUERY_INFORMATION | PROCESS_DUP_HANDLE,
                                FALSE, DWORD(pid()));
    const qint64 mainTid = ready.split(' ').value(1).toLongLong(); // "ready <tid> <pid>"

    explicit Host(const QStringList &arguments) : CrashHost(arguments) {}
    ~Host()
    {
        if (handle)
            CloseHandle(handle);
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
    void capture_data();
    void capture();
#ifdef OSTREL_HANDLER
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
    // A dump of it, live: no exception, its threads and modules. (The one the host writes of its own
    // crash is read in capture.)
    QTemporaryDir folder;
    const QString livePath = folder.filePath(QStringLiteral("live.dmp"));
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(livePath).utf16()), GENERIC_WRITE, 0,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    QVERIFY(file != INVALID_HANDLE_VALUE);
    // With no module's symbols loaded, as the WER stand-in writes its dumps (see win_crash_host).
    SymSetOptions(SymGetOptions() | SYMOPT_DEFERRED_LOADS);
    const bool symbols = SymInitializeW(host.handle, nullptr, FALSE);
    const bool written = MiniDumpWriteDump(host.handle, DWORD(host.pid()), file, MiniDumpNormal, nullptr, nullptr, nullptr);
    if (symbols)
        SymCleanup(host.handle);
    CloseHandle(file);
    QVERIFY(written);
    // Read in a child process, as the handler reads every dump.
    const QJsonObject live = DumpReader::analyzeIsolated(QCoreApplication::applicationFilePath(), livePath, QString());
    QVERIFY2(!live.contains(QStringLiteral("error")), qPrintable(live[QStringLiteral("error")].toString()));
    QVERIFY(!live.contains(QStringLiteral("exceptionCode")));
    QStringList tids;
    for (const QJsonValue &t : live[QStringLiteral("threads")].toArray())
        tids.append(QString::number(t[QStringLiteral("tid")].toInt()));
    QVERIFY2(tids.contains(QString::number(host.mainTid)), qPrintable(tids.join(QLatin1Char(' '))));
    QCOMPARE(live[QStringLiteral("modules")][0][QStringLiteral("name")].toString().toLower(), QStringLiteral("win_crash_host.exe"));

    if (mode.isEmpty())
        TerminateProcess(host.handle, 0xc000013a);
    else
        host.go();
    const ProcessEnd end = readProcessEnd(qintptr(host.handle), 10000);
    QCOMPARE(int(end.kind), kind);
    QCOMPARE(QString::fromUtf8(QJsonDocument(end.toJson()).toJson(QJsonDocument::Compact)), endJson);
}

void TestWinCapture::capture_data()
{
    QTest::addColumn<bool>("registered");
    QTest::addColumn<bool>("writesDump");
    QTest::addColumn<QString>("summary"); // a pattern; <folder> stands for the dump folder
    QTest::newRow("dump found and read") << true << true
            << R"(win_crash_host crashed: EXCEPTION_ACCESS_VIOLATION \(0xC0000005\) writing 0x0 in thread \d+: )"
               R"(.*nullWriteInMain.* \S*win_crash_host\.cpp:\d+)";
    QTest::newRow("no dump written") << true << false
            << R"(win_crash_host crashed: EXCEPTION_ACCESS_VIOLATION \(0xC0000005; no dump: no dump written within 3000 ms in <folder>\))";
    QTest::newRow("not registered") << false << false
            << R"(win_crash_host crashed: EXCEPTION_ACCESS_VIOLATION \(0xC0000005; no dump: no local dumps registered for win_crash_host\.exe\))";
}

// The whole capture as the handler runs it once the host has ended, the dump read in a child
// process (this test program, which answers "--read-dump" as the handler does).
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
    facts.enableDumps();
    facts.refresh();
    QCOMPARE(facts.dumpsEnabled, registered);
    host.go();

    Capture::Options options;
    options.appName = QStringLiteral("win_crash_host");
    options.program = QCoreApplication::applicationFilePath();
    options.scratchFolder = reports.path();
    Capture::Result result = Capture::run(facts, readProcessEnd(qintptr(host.handle), 10000), options);
    Capture::placeDump(&result, reports.filePath(QStringLiteral("report")), true);

    const QString folder = QDir::toNativeSeparators(QDir::cleanPath(dumps.path()));
    const QString pattern = QRegularExpression::anchoredPattern(summary.replace(QLatin1String("<folder>"), QRegularExpression::escape(folder)));
    QVERIFY2(QRegularExpression(pattern, QRegularExpression::CaseInsensitiveOption).match(result.summary).hasMatch(), qPrintable(result.summary));
    QCOMPARE(result.journal[QStringLiteral("summary")].toString(), result.summary);
    const QJsonObject core = result.report[QStringLiteral("core")].toObject();
    if (registered && writesDump) {
        QCOMPARE(core[QStringLiteral("keptAt")].toString(), reports.filePath(QStringLiteral("report.dmp")));
        QVERIFY(QFile::exists(reports.filePath(QStringLiteral("report.dmp"))));
        QVERIFY(QDir(dumps.path()).isEmpty());
        const QJsonObject analysis = result.report[QStringLiteral("analysis")].toObject();
        QCOMPARE(analysis[QStringLiteral("pid")].toDouble(), double(host.pid()));
        QCOMPARE(analysis[QStringLiteral("crashingTid")].toDouble(), double(host.mainTid));
        const QJsonObject crashing = analysis[QStringLiteral("threads")][0].toObject();
        QCOMPARE(crashing[QStringLiteral("crashing")].toBool(), true);
        // The stack walked from the crash site up to the host's main.
        const QJsonArray frames = crashing[QStringLiteral("frames")].toArray();
        QVERIFY2(frames.size() >= 2, qPrintable(crashing[QStringLiteral("error")].toString()));
        QVERIFY2(frames[0][QStringLiteral("function")].toString().contains(QLatin1String("nullWriteInMain")),
                 qPrintable(QJsonDocument(frames).toJson()));
        QVERIFY2(frames[1][QStringLiteral("function")].toString().contains(QLatin1String("wmain")), qPrintable(QJsonDocument(frames).toJson()));
        // Every thread walked from its own context: the idle one through the function inlined into
        // it, the deep one cut at the bound.
        QStringList walked;
        for (const QJsonValue &thread : analysis[QStringLiteral("threads")].toArray()) {
            QStringList names;
            for (const QJsonValue &f : thread[QStringLiteral("frames")].toArray())
                names.append(f[QStringLiteral("function")].toString() + (f[QStringLiteral("inlined")].toBool() ? QStringLiteral("*@") : QStringLiteral("@"))
                             + f[QStringLiteral("file")].toString() + QLatin1Char(':') + QString::number(f[QStringLiteral("line")].toInt()));
            walked.append(QString::number(names.size()) + (thread[QStringLiteral("framesCut")].toBool() ? QStringLiteral(" cut: ") : QStringLiteral(": "))
                          + names.join(QLatin1Char(' ')));
        }
        const QString all = walked.join(QLatin1Char('\n'));
        QVERIFY2(QRegularExpression(QStringLiteral(R"(waitForever\S*\*@\S*win_crash_host\.cpp:\d+ \S*idle\S*@\S*win_crash_host\.cpp:\d+ )")).match(all).hasMatch(),
                 qPrintable(all));
        QVERIFY2(all.contains(QStringLiteral("%1 cut: ").arg(DumpReader::kMaxFramesPerThread)), qPrintable(all));

        // Without the dump's memory list there is no stack to walk: the faulting frame alone, and why.
        QFile kept(reports.filePath(QStringLiteral("report.dmp")));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QByteArray dump = kept.readAll();
        const quint32 count = qFromLittleEndian<quint32>(dump.constData() + 8);
        const quint32 directory = qFromLittleEndian<quint32>(dump.constData() + 12);
        bool cut = false;
        for (quint32 i = 0; i < count && directory + 12 * (i + 1) <= quint32(dump.size()); ++i) {
            if (qFromLittleEndian<quint32>(dump.constData() + directory + 12 * i) == 5) { // MemoryListStream
                qToLittleEndian<quint32>(0, dump.data() + directory + 12 * i);            // UnusedStream
                cut = true;
            }
        }
        QVERIFY(cut);
        QFile cutFile(reports.filePath(QStringLiteral("cut.dmp")));
        QVERIFY(cutFile.open(QIODevice::WriteOnly) && cutFile.write(dump) == dump.size());
        cutFile.close();
        const QJsonObject cutAnalysis = DumpReader::analyze(cutFile.fileName(), QString());
        const QJsonObject walkless = cutAnalysis[QStringLiteral("threads")][0].toObject();
        QCOMPARE(walkless[QStringLiteral("frames")].toArray().size(), 1);
        QCOMPARE(walkless[QStringLiteral("frames")][0][QStringLiteral("pc")], frames[0][QStringLiteral("pc")]);
        QCOMPARE(walkless[QStringLiteral("error")].toString(), QStringLiteral("stack not walked: the dump holds no stack memory"));
    } else {
        QVERIFY(!result.report.contains(QStringLiteral("analysis")));
    }
    // None registered: no waiting for a dump that cannot come.
    if (!registered)
        QVERIFY(result.report[QStringLiteral("captureMs")].toDouble() < Capture::kDumpWaitMs);
}

#ifdef OSTREL_HANDLER
// The reference handler watching the host that crashes: the report's first line and the host's end
// journaled. (A host that exits, with or without "ExitClient", is handler_run's.)
void TestWinCapture::handlerReports()
{
    QTemporaryDir wer;
    QTemporaryDir dumps;
    const LocalDumpsRegistration registration(QDir::toNativeSeparators(wer.path()));
    QVERIFY(registration.ok);
    Host host({QStringLiteral("dump"), QDir::toNativeSeparators(wer.path())});
    QVERIFY(host.handle);
    HandlerDriver handler(&host.process, dumps.path(), QStringLiteral("win_crash_host"));
    QVERIFY(handler.connected);
    QVERIFY2(handler.say("cloudConfig@a@b"), handler.only(QStringLiteral("*.journal.jsonl")).constData());
    host.go();
    QVERIFY(handler.finished());

    const QByteArray journal = handler.only(QStringLiteral("*.journal.jsonl"));
    QVERIFY2(journal.contains("\"event\":\"hostEnd\""), journal.constData());
    const QRegularExpression expected(QStringLiteral(R"(^win_crash_host crashed: EXCEPTION_ACCESS_VIOLATION \(0xC0000005\) )"
                                                     R"(writing 0x0 in thread %1: .*nullWriteInMain.* \S*win_crash_host\.cpp:\d+$)").arg(host.mainTid));
    QVERIFY2(expected.match(handler.firstSummary()).hasMatch(), qPrintable(handler.firstSummary()));
}
#endif

int main(int argc, char **argv)
{
    int exitCode = 0;
    if (DumpReader::runChild(argc, argv, &exitCode))
        return exitCode;
    QCoreApplication app(argc, argv);
    TestWinCapture test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wincapture.moc"
