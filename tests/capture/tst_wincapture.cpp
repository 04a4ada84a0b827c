// Crash capture on Windows, on a real host process: how its end is read from its exit code, what is
// learned while it runs, the minidump of a live process and the one it writes of its own crash, and
// the whole capture (dump found where WER's LocalDumps put it, read in a child process, kept beside
// the report) or the stated reason why there is no dump. Then the handler's report of the host,
// and of its stripped copy named back by ostrel-report from the debug file objcopy split off.

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

    explicit Host(const QStringList &arguments, const QString &program = QStringLiteral(OSTREL_CRASH_HOST))
        : CrashHost(arguments, QString(), program)
    {
    }
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

#ifdef OSTREL_HANDLER
// The reference handler watching `program` (the host or its stripped copy) write through a null
// pointer and then its own dump where LocalDumps points; the report written into `folder`.
struct HandledCrash
{
    qint64 mainTid = 0;
    bool handlerEnded = false; // on its own, cleanly
    QByteArray journal;
    QString summary; // as the report's first line gives it
    QString report;  // its path; empty when there is not exactly one
};

HandledCrash handledCrash(const QString &program, const QString &folder)
{
    HandledCrash crash;
    QTemporaryDir wer;
    const LocalDumpsRegistration registration(QDir::toNativeSeparators(wer.path()));
    Host host({"dump", QDir::toNativeSeparators(wer.path())}, program);
    HandlerDriver handler(&host.process, folder, "win_crash_host");
    crash.mainTid = host.mainTid;
    if (registration.ok && host.handle && handler.say("cloudConfig@a@b")) {
        host.go();
        crash.handlerEnded = handler.finished();
    }
    crash.journal = handler.only("*.journal.jsonl");
    crash.summary = handler.firstSummary();
    const QStringList reports = handler.files("*.json");
    if (reports.size() == 1)
        crash.report = folder + '/' + reports.first();
    return crash;
}
#endif

#ifdef OSTREL_REPORT_TOOL
// The crashing thread's frames in the host's module that have a source line, as
// "offset function file:line": the function without its scope and parameters, the file without
// its folder (dbghelp and LLVM's symbolizer write both their own way). With `unnamed`, the frames
// without one and the reason they give.
QStringList hostFrames(const QJsonObject &report, bool unnamed = false)
{
    QStringList frames;
    for (const QJsonValue &f : report["crash"]["analysis"]["threads"][0]["frames"].toArray()) {
        if (f["module"].toString().compare(QLatin1String("win_crash_host.exe"), Qt::CaseInsensitive) != 0
            || f.toObject().contains("line") == unnamed)
            continue;
        if (unnamed) {
            frames << f["offset"].toString() + ' ' + f["notSymbolized"].toString();
            continue;
        }
        QString function = f["function"].toString();
        if (function.endsWith(')')) { // its parameters
            int depth = 0;
            int i = function.size() - 1;
            for (; i >= 0; --i) {
                depth += function[i] == ')' ? 1 : function[i] == '(' ? -1 : 0;
                if (depth == 0)
                    break;
            }
            function.truncate(qMax(i, 0));
        }
        function = function.mid(function.lastIndexOf("::") + 1).remove(':');
        const QString file = f["file"].toString().replace('\\', '/').section('/', -1);
        frames << QStringLiteral("%1 %2 %3:%4%5").arg(f["offset"].toString(), function, file).arg(f["line"].toInt())
                          .arg(f["inlined"].toBool() ? QStringLiteral(" inlined") : QString());
    }
    return frames;
}
#endif

} // namespace

class TestWinCapture : public QObject
{
    Q_OBJECT

#ifdef OSTREL_REPORT_TOOL
    QTemporaryDir m_dir;
    QString m_named;    // the handler's report of the host as built
    QString m_stripped; // of its stripped copy
#endif

private slots:
    void processEnds_data()
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

    void processEnds()
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
        const QString livePath = folder.filePath("live.dmp");
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
        QVERIFY2(!live.contains("error"), qPrintable(live["error"].toString()));
        QVERIFY(!live.contains("exceptionCode"));
        QStringList tids;
        for (const QJsonValue &t : live["threads"].toArray())
            tids.append(QString::number(t["tid"].toInt()));
        QVERIFY2(tids.contains(QString::number(host.mainTid)), qPrintable(tids.join(' ')));
        QCOMPARE(live["modules"][0]["name"].toString().toLower(), QString("win_crash_host.exe"));

        if (mode.isEmpty())
            TerminateProcess(host.handle, 0xc000013a);
        else
            host.go();
        const ProcessEnd end = readProcessEnd(qintptr(host.handle), 10000);
        QCOMPARE(int(end.kind), kind);
        QCOMPARE(QString::fromUtf8(QJsonDocument(end.toJson()).toJson(QJsonDocument::Compact)), endJson);
    }

    void capture_data()
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
    void capture()
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
            registration.reset(new LocalDumpsRegistration("%OSTREL_TEST_DUMPS%"));
            QVERIFY(registration->ok);
        }

        Host host(writesDump ? QStringList {"dump", QDir::toNativeSeparators(dumps.path())} : QStringList {"av"});
        QVERIFY(host.handle);
        ProcessFacts facts;
        facts.pid = host.pid();
        facts.watchedSince = QDateTime::currentDateTimeUtc();
        facts.enableDumps();
        facts.refresh();
        QCOMPARE(facts.dumpsEnabled, registered);
        host.go();

        Capture::Options options;
        options.appName = "win_crash_host";
        options.program = QCoreApplication::applicationFilePath();
        options.scratchFolder = reports.path();
        Capture::Result result = Capture::run(facts, readProcessEnd(qintptr(host.handle), 10000), options);
        Capture::placeDump(&result, reports.filePath("report"), true);

        const QString folder = QDir::toNativeSeparators(QDir::cleanPath(dumps.path()));
        const QString pattern = QRegularExpression::anchoredPattern(summary.replace("<folder>", QRegularExpression::escape(folder)));
        QVERIFY2(QRegularExpression(pattern, QRegularExpression::CaseInsensitiveOption).match(result.summary).hasMatch(), qPrintable(result.summary));
        QCOMPARE(result.journal["summary"].toString(), result.summary);
        const QJsonObject core = result.report["core"].toObject();
        if (registered && writesDump) {
            QCOMPARE(core["keptAt"].toString(), reports.filePath("report.dmp"));
            QVERIFY(QFile::exists(reports.filePath("report.dmp")));
            QVERIFY(QDir(dumps.path()).isEmpty());
            const QJsonObject analysis = result.report["analysis"].toObject();
            QCOMPARE(analysis["pid"].toDouble(), double(host.pid()));
            QCOMPARE(analysis["crashingTid"].toDouble(), double(host.mainTid));
            const QJsonObject crashing = analysis["threads"][0].toObject();
            QCOMPARE(crashing["crashing"].toBool(), true);
            // The stack walked from the crash site up to the host's main.
            const QJsonArray frames = crashing["frames"].toArray();
            QVERIFY2(frames.size() >= 2, qPrintable(crashing["error"].toString()));
            QVERIFY2(frames[0]["function"].toString().contains("nullWriteInMain") && frames[1]["function"].toString().contains("wmain"),
                     qPrintable(QJsonDocument(frames).toJson()));
            // Every thread walked from its own context: the idle one through the function inlined into
            // it, the deep one cut at the bound.
            QStringList walked;
            for (const QJsonValue &thread : analysis["threads"].toArray()) {
                QStringList names;
                for (const QJsonValue &f : thread["frames"].toArray())
                    names.append(f["function"].toString() + (f["inlined"].toBool() ? "*@" : "@") + f["file"].toString() + ':'
                                 + QString::number(f["line"].toInt()));
                walked.append(QString::number(names.size()) + (thread["framesCut"].toBool() ? " cut: " : ": ") + names.join(' '));
            }
            const QString all = walked.join('\n');
            QVERIFY2(QRegularExpression(R"(waitForever\S*\*@\S*win_crash_host\.cpp:\d+ \S*idle\S*@\S*win_crash_host\.cpp:\d+ )").match(all).hasMatch(),
                     qPrintable(all));
            QVERIFY2(all.contains(QStringLiteral("%1 cut: ").arg(DumpReader::kMaxFramesPerThread)), qPrintable(all));

            // Without the dump's memory list there is no stack to walk: the faulting frame alone, and why.
            QByteArray dump = TestFiles::readAll(reports.filePath("report.dmp"));
            const quint32 count = qFromLittleEndian<quint32>(dump.constData() + 8);
            const quint32 directory = qFromLittleEndian<quint32>(dump.constData() + 12);
            bool cut = false;
            for (quint32 i = 0; i < count && directory + 12 * (i + 1) <= quint32(dump.size()); ++i) {
                if (qFromLittleEndian<quint32>(dump.constData() + directory + 12 * i) == 5) { // MemoryListStream
                    qToLittleEndian<quint32>(0, dump.data() + directory + 12 * i);            // UnusedStream
                    cut = true;
                }
            }
            QVERIFY(cut && TestFiles::writeAll(reports.filePath("cut.dmp"), dump));
            const QJsonObject cutAnalysis = DumpReader::analyze(reports.filePath("cut.dmp"), QString());
            const QJsonObject walkless = cutAnalysis["threads"][0].toObject();
            QCOMPARE(walkless["frames"].toArray().size(), 1);
            QCOMPARE(walkless["frames"][0]["pc"], frames[0]["pc"]);
            QCOMPARE(walkless["error"].toString(), QString("stack not walked: the dump holds no stack memory"));
        } else {
            QVERIFY(!result.report.contains("analysis"));
        }
        // None registered: no waiting for a dump that cannot come.
        if (!registered)
            QVERIFY(result.report["captureMs"].toDouble() < Capture::kDumpWaitMs);
    }

#ifdef OSTREL_HANDLER
    // The reference handler watching the host that crashes: the report's first line and the host's end
    // journaled. (A host that exits, with or without "ExitClient", is handler_run's.)
    void handlerReports()
    {
        QTemporaryDir dumps;
        const HandledCrash crash = handledCrash(OSTREL_CRASH_HOST, dumps.path());
        QVERIFY(crash.handlerEnded);
        QVERIFY2(crash.journal.contains("\"event\":\"hostEnd\""), crash.journal.constData());
        const QRegularExpression expected(QStringLiteral(R"(^win_crash_host crashed: EXCEPTION_ACCESS_VIOLATION \(0xC0000005\) )"
                                                         R"(writing 0x0 in thread %1: .*nullWriteInMain.* \S*win_crash_host\.cpp:\d+$)").arg(crash.mainTid));
        QVERIFY2(expected.match(crash.summary).hasMatch(), qPrintable(crash.summary));
    }
#endif

#ifdef OSTREL_REPORT_TOOL
    void symbolized_data()
    {
        QTest::addColumn<QString>("layout");  // what the debug folder holds
        QTest::addColumn<QString>("unnamed"); // empty: named as the handler named the host as built; else the reason, a pattern
        QTest::newRow("debug file") << "debug" << "";
        QTest::newRow("another build's file") << "other"
                << R"(names nothing at offset 0x[0-9a-f]+; passed over: .*\\win_crash_host\.debug: debug id [0-9a-f-]+$)";
        QTest::newRow("none") << "none" << R"(\\stripped\\bin\\win_crash_host\.exe names nothing at offset 0x[0-9a-f]+$)";
    }

    // The handler's report of the host stripped after objcopy split its DWARF off: frames as module and
    // offset, the module's debug id read from the image (Wine's dumps carry no CodeView record). Named
    // by ostrel-report from the debug file, as the handler named the host as built; from another
    // build's file or the stripped image alone, left unnamed with the reason.
    void symbolized()
    {
        QFETCH(QString, layout);
        QFETCH(QString, unnamed);
        if (m_named.isEmpty()) {
            m_named = handledCrash(OSTREL_CRASH_HOST, m_dir.filePath("named")).report;
            m_stripped = handledCrash(OSTREL_STRIPPED_DIR "/bin/win_crash_host.exe", m_dir.filePath("stripped")).report;
            QVERIFY(!m_named.isEmpty() && !m_stripped.isEmpty());
        }
        const QJsonObject named = TestFiles::jsonObject(m_named);
        const QJsonObject stripped = TestFiles::jsonObject(m_stripped);
        QVERIFY2(hostFrames(named).size() >= 2, qPrintable(QJsonDocument(named).toJson()));
        QVERIFY2(hostFrames(stripped).isEmpty() && hostFrames(stripped, true).size() >= 2, qPrintable(QJsonDocument(stripped).toJson()));
        const QJsonValue namedModule = named["crash"]["analysis"]["modules"][0];
        const QJsonValue strippedModule = stripped["crash"]["analysis"]["modules"][0];
        QVERIFY(QRegularExpression("^[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}-[0-9a-f]+$").match(strippedModule["debugId"].toString()).hasMatch());
        QCOMPARE(strippedModule["debugId"], namedModule["debugId"]);
        QCOMPARE(strippedModule["debugFile"].toString(), QString("win_crash_host.exe"));

        const QString debug = m_dir.filePath("debug-" + layout);
        QVERIFY(QDir().mkpath(debug));
        if (layout != "none")
            QVERIFY(QFile::copy(layout == "debug" ? OSTREL_STRIPPED_DIR "/win_crash_host.debug" : OSTREL_HANDLER, debug + "/win_crash_host.debug"));
        QProcess tool;
        tool.start(OSTREL_REPORT_TOOL, {"symbolize", m_stripped, "--debug-dir", debug, "--symbolizer", OSTREL_SYMBOLIZER});
        QVERIFY(tool.waitForFinished(120000));
        QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());
        const QJsonObject symbolized = TestFiles::jsonObject(m_stripped.chopped(5) + ".symbolized.json");
        if (unnamed.isEmpty()) {
            // Where dbghelp named a frame, LLVM's symbolizer names it the same; it also names MinGW's
            // start-up code, whose DWARF (version 5) Wine's dbghelp does not read.
            const QStringList expected = hostFrames(named);
            QStringList offsets;
            for (const QString &frame : expected)
                offsets << frame.section(' ', 0, 0);
            QStringList frames;
            for (const QString &frame : hostFrames(symbolized))
                if (offsets.contains(frame.section(' ', 0, 0)))
                    frames << frame;
            QCOMPARE(frames, expected);
            return;
        }
        QVERIFY(hostFrames(symbolized).isEmpty());
        const QStringList frames = hostFrames(symbolized, true);
        QVERIFY(frames.size() >= 2);
        for (const QString &frame : frames)
            QVERIFY2(QRegularExpression(unnamed).match(frame).hasMatch(), qPrintable(frame));
    }
#endif
};

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
