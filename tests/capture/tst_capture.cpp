// Crash capture: where the kernel's core goes for a given core pattern, and what the reference
// crash handler reports for a real host that crashes, aborts in a named thread, or cannot dump a
// core, and for a crashing sub-process of a host that is killed. (A host that exits, with or
// without "ExitClient", is handler_run's.)

#include "capture/dumpreader.h"
#include "capture/corepattern.h"
#include "localdumpsettings.h"
#include "processstart.h"
#include "report/crashsignature.h"
#include "handlerdriver.h"

#include <QtTest>

#include <csignal>
#include <unistd.h>

using TestFiles::readAll;

namespace {

// "function\tfile:line" of each frame, as elfutils' own tool shows the core's first (the crashing)
// thread: "#0  0x... name - module", then the source line indented, "file:line:column".
QStringList euStackFrames(const QString &core, const QString &executable)
{
    QProcess tool;
    tool.start("eu-stack", {"-s", "-i", "-m", "--core=" + core, "-e", executable});
    if (!tool.waitForFinished(30000))
        return {"eu-stack did not finish: " + tool.errorString()};
    QStringList frames;
    const QRegularExpression frame(R"(^#\d+\s+0x[0-9a-f]+ (.*) - \S+$)");
    const QRegularExpression source(R"(^\s+(.*?):(\d+)(:\d+)?$)");
    const QStringList lines = QString::fromLocal8Bit(tool.readAllStandardOutput()).split('\n');
    for (int i = lines.indexOf(QRegularExpression("TID \\d+:")) + 1; i > 0 && i < lines.size() && !lines.at(i).startsWith("TID "); ++i) {
        const QRegularExpressionMatch f = frame.match(lines.at(i));
        const QRegularExpressionMatch s = source.match(lines.value(i + 1));
        if (f.hasMatch())
            frames.append((f.captured(1) == "??" ? QString() : f.captured(1)) + '\t'
                          + (s.hasMatch() ? s.captured(1) + ':' + s.captured(2) : QString()));
    }
    return frames.isEmpty() ? QStringList {QStringLiteral("eu-stack (exit code %1): ").arg(tool.exitCode()) + tool.readAllStandardError()} : frames;
}

// The report's frames in that form. One difference, by design: where the debug information holds
// only a C++ function's plain name (one of internal linkage: in an anonymous namespace, a lambda),
// the report names the function by its symbol, qualified ("(anonymous namespace)::worker(void*)"),
// where eu-stack shows the plain name ("worker"); such a name, the same once normalised, is shown
// as eu-stack's.
QStringList reportFrames(const QJsonArray &frames, const QStringList &euStack)
{
    QStringList out;
    for (int i = 0; i < frames.size(); ++i) {
        const QJsonValue f = frames[i];
        QString function = f["function"].toString();
        const QString plain = euStack.value(i).section('\t', 0, 0);
        const QString normalised = CrashSignature::normalisedFunction(function);
        const QString plainNormalised = CrashSignature::normalisedFunction(plain);
        if (!f["inlined"].toBool() && !plain.isEmpty() && (normalised == plainNormalised || normalised.endsWith("::" + plainNormalised)))
            function = plain;
        out.append(function + '\t' + (f["file"].isString() ? f["file"].toString() + ':' + QString::number(f["line"].toInt()) : QString()));
    }
    return out;
}

} // namespace

class tst_Capture : public QObject
{
    Q_OBJECT

private slots:
    void corePattern_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<bool>("usesPid");
        QTest::addColumn<QString>("folder"); // empty: no file location
        QTest::addColumn<QStringList>("matches");
        QTest::addColumn<QStringList>("misses");

        QTest::newRow("plain") << "core" << false << "/w" << QStringList {"core"} << QStringList {"core.42", "xcore"};
        QTest::newRow("uses pid") << "core" << true << "/w" << QStringList {"core.42"} << QStringList {"core", "core.43"};
        QTest::newRow("relative with pid") << "sub/core-%p" << true << "/w/sub" << QStringList {"core-42"} << QStringList {"core-42.42"};
        QTest::newRow("absolute, unknowns") << "/var/crash/core.%e.%p.%t" << false << "/var/crash"
                                            << QStringList {"core.crash-worker.42.1700000000", "core..42.1"}
                                            << QStringList {"core.w.43.1", "core.w.42.", "core.sixteen-chars-xx.42.1"};
        QTest::newRow("known values") << "%%core-%u-%s-%h-%c-%f%z" << false << "/w"
                                      << QStringList {"%core-1000-11-box-18446744073709551615-app"} << QStringList {"%core-1000-6-box-18446744073709551615-app"};
        QTest::newRow("path with bangs") << "/cores/%E/c" << false << "/cores/!usr!bin!app" << QStringList {"c"} << QStringList {};
        QTest::newRow("unknown in folder") << "/cores/%t/core" << false << "" << QStringList {} << QStringList {};
        QTest::newRow("pipe") << "|/usr/lib/systemd/systemd-coredump %P %u %g" << true << "" << QStringList {} << QStringList {};
        QTest::newRow("empty") << "" << false << "" << QStringList {} << QStringList {};
    }

    // Pure: the machine's own core_pattern is never changed by a test.
    void corePattern()
    {
        QFETCH(QString, pattern);
        QFETCH(bool, usesPid);
        QFETCH(QString, folder);
        QFETCH(QStringList, matches);
        QFETCH(QStringList, misses);

        CorePattern::Process process;
        process.pid = 42;
        process.executable = "/usr/bin/app";
        process.workingFolder = "/w";
        process.hostname = "box";
        process.uid = 1000;
        process.signal = 11;
        const CorePattern parsed = CorePattern::parse(pattern, usesPid, process);
        QCOMPARE(parsed.usable(), !folder.isEmpty());
        QCOMPARE(parsed.folder, folder);
        QCOMPARE(parsed.pipe, pattern.startsWith('|'));
        if (parsed.pipe)
            QCOMPARE(parsed.collector, QStringLiteral("systemd-coredump"));
        for (const QString &name : matches)
            QVERIFY2(parsed.fileName.match(name).hasMatch(), qPrintable(name + " vs " + parsed.fileName.pattern()));
        for (const QString &name : misses)
            QVERIFY2(!parsed.fileName.match(name).hasMatch(), qPrintable(name + " vs " + parsed.fileName.pattern()));
    }

    void hostEnds_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("host");         // "stripped": the host without symbols or debug information
        QTest::addColumn<QString>("summary");      // a regular expression for the report's first line
        QTest::addColumn<QStringList>("frames");   // in the crashing thread, in this order
        QTest::addColumn<QString>("signature");    // a regular expression
        QTest::addColumn<int>("dumpType");         // registered for the application, -1 for none

        QTest::newRow("null write in main") << "segv" << ""
            << R"(^crash-host crashed: SIGSEGV \(SEGV_MAPERR\) at 0x0 in thread main: \(anonymous namespace\)::nullWriteInMain\(\) \S+/crash_host.cpp:\d+$)"
            << QStringList {"(anonymous namespace)::nullWriteInMain()", "main"} << "^nullWriteInMain \\| main$" << 2;
        QTest::newRow("abort in a named thread") << "abort-thread" << ""
            << R"(^crash-host crashed: SIGABRT \(SI_TKILL\) in thread crash-worker \(\d+\): \(anonymous namespace\)::workerAbortDeep\(\) \S+crash_host.cpp:\d+$)"
            << QStringList {"__GI_abort", "(anonymous namespace)::workerAbortDeep()", "(anonymous namespace)::workerAbortMiddle()",
                            "(anonymous namespace)::workerAbortTop()", "std::function<void ()>::operator()() const",
                            "(anonymous namespace)::worker(void*)"}
            << "^workerAbortDeep \\| workerAbortMiddle \\| workerAbortTop \\| (s_workerBody::\\{lambda#1\\}::)?operator\\(\\)$" << -1;
        // Each inlined function is a frame of its own; the innermost is the crash site.
        QTest::newRow("inlined") << "inline" << ""
            << R"(^crash-host crashed: SIGSEGV \(SEGV_MAPERR\) at 0x0 in thread main: inlinedInner \S+crash_host.cpp:\d+$)"
            << QStringList {"inlinedInner", "inlinedMiddle", "(anonymous namespace)::outerOfInlined()", "main"}
            << "^inlinedInner \\| inlinedMiddle \\| outerOfInlined \\| main$" << -1;
        // The frame limit holds: the deepest frames come first, the walk stops at the limit.
        QTest::newRow("stack overflow") << "overflow" << ""
            << R"(^crash-host crashed: SIGSEGV \(SEGV_MAPERR\) at 0x[0-9a-f]+ in thread main: \(anonymous namespace\)::recurseForever\(int\) \S+crash_host.cpp:\d+$)"
            << QStringList {"(anonymous namespace)::recurseForever(int)", "(anonymous namespace)::recurseForever(int)"}
            << "^recurseForever( \\| recurseForever){3}$" << -1;
        // No names in the program: its frames say module and offset, and the C library's named
        // frames below do not stand in for the crash site.
        QTest::newRow("stripped") << "segv" << "stripped"
            << R"(^crash-host crashed: SIGSEGV \(SEGV_MAPERR\) at 0x0 in thread main: crash_host_stripped\+0x[0-9a-f]+$)"
            << QStringList {"", "", "__libc_start_call_main"}
            << "^crash_host_stripped\\+0x[0-9a-f]+ \\| crash_host_stripped\\+0x[0-9a-f]+ \\| __libc_start_call_main" << 1;
        QTest::newRow("core limit cannot be raised") << "nolimit" << ""
            << R"(^crash-host crashed: SIGSEGV \(no core: the kernel wrote no core \(core size limit: cannot be raised: the hard core size limit is 0\)\)$)"
            << QStringList {} << "^$" << -1;
    }

    // The test plays the library: it starts the handler for the host, talks to it once (so that it
    // has seen the host's threads), then lets the host end.
    void hostEnds()
    {
        QFETCH(QString, mode);
        QFETCH(QString, host);
        QFETCH(QString, summary);
        QFETCH(QStringList, frames);
        QFETCH(QString, signature);
        QFETCH(int, dumpType);
        const bool wantsCore = mode != "nolimit";
        if (wantsCore)
            SKIP_IF_CORES_GO_TO_COLLECTOR();

        QTemporaryDir dir;
        if (dumpType >= 0) {
            QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path() + "/config");
            QSettings(QSettings::IniFormat, QSettings::UserScope, localDumpsOrganization(), "crash-host.exe").setValue("DumpType", dumpType);
        }
        const QString program = host.isEmpty() ? OSTREL_CRASH_HOST : OSTREL_STRIPPED_CRASH_HOST;
        CrashHost crashHost({mode}, dir.path() + "/work", program);
        HandlerDriver handler(&crashHost.process, dir.path() + "/dumps", "crash-host", configIn(dir.path() + "/config"));
        QVERIFY(handler.say("cloudConfig@a@b"));

        crashHost.go();
        QVERIFY(crashHost.process.waitForFinished(10000));
        QVERIFY(handler.finished());
        const QJsonObject report = handler.report();
        QCOMPARE(handler.firstSummary(), report["summary"].toString());
        QVERIFY2(QRegularExpression(signature).match(report["signature"].toString()).hasMatch(), qPrintable(report["signature"].toString()));
        QVERIFY2(QRegularExpression(summary).match(handler.firstSummary()).hasMatch(), qPrintable(handler.firstSummary()));
        QCOMPARE(report["formatVersion"].toInt(), 2);
        const QJsonObject crash = report["crash"].toObject();
        QCOMPARE(crash["kind"].toString(), QStringLiteral("crashed"));
        QVERIFY2(!QFile::exists(dir.path() + "/work/core"), "a core was left in the host's working folder");

        QCOMPARE(crash["process"]["coreLimit"]["enabled"].toBool(), wantsCore);
        if (!wantsCore)
            return;
        const QJsonObject analysis = crash["analysis"].toObject();
        const QJsonObject crashing = analysis["threads"][0].toObject();
        QVERIFY(crashing["crashing"].toBool());
        QCOMPARE(crashing["name"].toString(), mode == "abort-thread" ? "crash-worker" : QFileInfo(program).fileName().left(15));
        QStringList names;
        for (const QJsonValue &f : crashing["frames"].toArray())
            names.append(f["function"].toString());
        int from = 0;
        for (const QString &name : frames) {
            from = names.indexOf(name, from);
            QVERIFY2(from >= 0, qPrintable(name + " not in order in " + names.join(", ")));
        }
        if (mode == "inline") {
            const QJsonArray f = crashing["frames"].toArray();
            QCOMPARE(QVector<bool>({f[0]["inlined"].toBool(), f[1]["inlined"].toBool(), f[2]["inlined"].toBool(), f[0]["pc"] == f[2]["pc"]}),
                     QVector<bool>({true, true, false, true}));
        }
        // Every frame of every thread: module and offset where the pc lies in a module, no mangled name.
        for (const QJsonValue &thread : analysis["threads"].toArray()) {
            for (const QJsonValue &f : thread["frames"].toArray()) {
                QVERIFY2(f["module"].isUndefined() || f["offset"].toString().startsWith("0x"), qPrintable(f["pc"].toString()));
                QVERIFY2(!f["function"].toString().startsWith("_Z"), qPrintable(f["function"].toString()));
            }
        }
        QCOMPARE(crashing["framesCut"].toBool(), mode == "overflow");
        QVERIFY(crashing["frames"].toArray().size() <= DumpReader::kMaxFramesPerThread);
        QCOMPARE(analysis["threads"].toArray().size(), 2);
        // The host's module as crash servers file it: code id, debug id, debug file.
        const QString buildId = DumpReader::fileBuildId(program);
        const auto modules = analysis["modules"].toArray();
        const auto own = std::find_if(modules.begin(), modules.end(), [&](const QJsonValue &m) { return m["codeId"] == buildId; });
        QVERIFY2(!buildId.isEmpty() && own != modules.end(), qPrintable(buildId));
        const QJsonValue ownModule = *own;
        QCOMPARE(QJsonArray({ownModule["debugId"], ownModule["debugFile"]}), QJsonArray({DumpReader::debugIdFromBuildId(buildId), QFileInfo(program).canonicalFilePath()}));
        // Kept for full dumps or when nothing is registered, else removed once read.
        QCOMPARE(crash["core"]["removed"].toBool(), dumpType == 1);
        QCOMPARE(QDir(dir.path() + "/dumps").entryList({"*.core"}).size(), dumpType == 1 ? 0 : 1);
        if (dumpType == 1)
            return;
        const QString kept = crash["core"]["keptAt"].toString();
        QVERIFY2(QFile::exists(kept), qPrintable(kept));

        // Frame for frame what elfutils' own tool reads from the same core (it walks up to 256).
        const QStringList expected = euStackFrames(kept, program).mid(0, DumpReader::kMaxFramesPerThread);
        QCOMPARE(reportFrames(crashing["frames"].toArray(), expected).join(" | "), expected.join(" | "));

        // The same core cut short: a stated reason or what could still be read, never a hang.
        QVERIFY(TestFiles::writeAll(dir.path() + "/cut.core", readAll(kept).left(24 * 1024)));
        const QJsonObject damaged = DumpReader::analyzeIsolated(OSTREL_HANDLER, dir.path() + "/cut.core", QString(), 20000);
        QVERIFY2(damaged.contains("error") || damaged.contains("threads"), QJsonDocument(damaged).toJson().constData());
        QVERIFY(!damaged["error"].toString().contains("took longer"));
    }

    // A registered sub-process that crashes while the host runs gets its own analysis, recorded
    // once, with its name, and a report of its own beside its kept dump (which a clean end of the
    // host would not remove).
    void subProcessCrash()
    {
        SKIP_IF_CORES_GO_TO_COLLECTOR();
        QTemporaryDir dir;
        CrashHost host({"wait"}, dir.path() + "/work");
        CrashHost sub({"abort-thread"}, dir.path() + "/work");
        HandlerDriver handler(&host.process, dir.path() + "/dumps", "crash-host", configIn(dir.path() + "/config"));
        const QByteArray info = QJsonDocument(QJsonObject {{"appName", "crash-sub"}, {"subProcessPid", QString::number(sub.pid())},
                                                           {"status", 1}}).toJson(QJsonDocument::Compact);
        QVERIFY(handler.say("subProcessInfo@" + info));
        QVERIFY(handler.say("ExceptionCheck@a@b")); // the sub-process's threads seen again
        sub.go();
        QVERIFY(sub.process.waitForFinished(10000));
        QVERIFY(handler.ask("read").startsWith("subProcessExited")); // what the handler tells the host
        QVERIFY(handler.say("subProcessInfo@" + info)); // a late report for the same pid changes nothing
        ::kill(pid_t(host.pid()), SIGKILL);
        QVERIFY(host.process.waitForFinished(10000)); // reaped: the kernel tells the handler how it ended
        QVERIFY(handler.finished());
        const QJsonObject own = QJsonDocument::fromJson(handler.only("crash-host-*-sub-*.json")).object();
        QVERIFY(QFile::remove(handler.dumpFolder + '/' + handler.files("crash-host-*-sub-*.json").value(0)));
        const QJsonObject report = handler.report();
        QCOMPARE(QJsonArray({own["summary"], own["subProcess"]["appName"], own["crash"]["core"]["keptAt"].toString().endsWith(".core")}),
                 QJsonArray({report["session"]["subProcesses"][0]["end"]["summary"], "crash-sub", true}));

        QCOMPARE(report["summary"].toString(), QStringLiteral("crash-host was killed: SIGKILL"));
        QCOMPARE(report["crash"]["kind"].toString(), QStringLiteral("killed"));
        const QJsonObject end = report["session"]["subProcesses"][0]["end"].toObject();
        QVERIFY2(end["summary"].toString().startsWith("crash-sub crashed: SIGABRT (SI_TKILL) in thread crash-worker"),
                 qPrintable(end["summary"].toString()));
        QVERIFY(QFile::exists(end["core"]["keptAt"].toString()));
        const QStringList lines = QString::fromUtf8(readAll(report["journal"].toString())).split('\n').filter("\"subProcessExited\"");
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.at(0).contains("\"appName\":\"crash-sub\""));
    }

    // The handler is killed while its host runs, then the host crashes unwatched: the next handler
    // of the application finishes that session (a late report, queued under that session's
    // consent; the stray core gone). Beside it, a damaged journal and one whose pid now belongs to
    // another process are stated; a journal whose host still runs is left alone.
    void lateSession()
    {
        SKIP_IF_CORES_GO_TO_COLLECTOR();
        QTemporaryDir dir;
        const QString dumps = dir.path() + "/dumps";
        const QProcessEnvironment env = configIn(dir.path() + "/config");
        CrashHost old({"segv"}, dir.path() + "/work");
        const qint64 oldPid = old.pid();
        qint64 deadHandler = 0;
        {
            HandlerDriver dying(&old.process, dumps, "crash-host", env);
            QVERIFY(dying.say("cloudConfig@dsn=http://key@127.0.0.1:9/1;upload=on@"));
            deadHandler = dying.process.processId();
            ::kill(pid_t(deadHandler), SIGKILL);
            QVERIFY(dying.process.waitForFinished(10000));
        }
        old.go();
        QVERIFY(old.process.waitForFinished(10000));

        const auto journalOf = [&](qint64 pid) { return QStringLiteral("%1/crash-host-%2.journal.jsonl").arg(dumps).arg(pid); };
        const auto journal = [&](qint64 pid, const QByteArray &bytes) {
            QVERIFY(TestFiles::writeAll(journalOf(pid), bytes));
            QVERIFY(QFile::setPermissions(journalOf(pid), QFile::ReadOwner | QFile::WriteOwner));
        };
        const auto startLine = [&](qint64 pid, const QString &startedAt) {
            return QJsonDocument(QJsonObject {
                {"event", "start"}, {"seq", 1}, {"handlerPid", double(deadHandler)}, {"time", "2026-01-01T00:00:00.000Z"},
                {"hostPid", double(pid)}, {"hostStartedAt", startedAt}, {"uid", double(::getuid())},
                {"arguments", QJsonArray {QString::number(pid), dumps, "crash-host", "client", "", "", ""}},
            }).toJson(QJsonDocument::Compact) + '\n';
        };
        journal(deadHandler, "not a journal\n");
        const qint64 reused = QCoreApplication::applicationPid();
        journal(reused, startLine(reused, "2001-01-01T00:00:00.000Z"));
        CrashHost alive({"wait"}, dir.path() + "/work");
        const QByteArray aliveBytes = startLine(alive.pid(), QDateTime::fromMSecsSinceEpoch(processStart(alive.pid()).startMsecs, Qt::UTC)
                                                                     .toString(Qt::ISODateWithMs));
        journal(alive.pid(), aliveBytes);

        CrashHost next({"wait"}, dir.path() + "/work");
        const qint64 nextPid = next.pid();
        HandlerDriver finisher(&next.process, dumps, "crash-host", env);
        QVERIFY(finisher.connected);
        const qint64 finisherPid = finisher.process.processId();
        ::kill(pid_t(nextPid), SIGKILL);
        QVERIFY(next.process.waitForFinished(10000));
        QVERIFY(finisher.finished());

        const QStringList lateNames = finisher.files(QStringLiteral("crash-host-%1-*.json").arg(oldPid));
        const QString lines = QString::fromUtf8(readAll(journalOf(nextPid)));
        QVERIFY2(lateNames.size() == 1, qPrintable(lines));
        const QJsonObject report = QJsonDocument::fromJson(readAll(dumps + "/" + lateNames.first())).object();
        QVERIFY2(report["summary"].toString().startsWith("crash-host crashed: SIGSEGV (SEGV_MAPERR) at 0x0 in thread main: "),
                 qPrintable(report["summary"].toString()));
        QCOMPARE(report["crash"]["analysis"]["pid"].toDouble(), double(oldPid));
        QCOMPARE(report["late"]["finishedBy"].toDouble(), double(finisherPid));
        QVERIFY(report["late"]["reason"].toString().contains(QStringLiteral("its handler (pid %1) had ended").arg(deadHandler)));
        QVERIFY2(QDir(dir.path() + "/work").entryList({"core*"}).isEmpty(), "the stray core is still in the host's working folder");
        QVERIFY(QFile::exists(report["crash"]["core"]["keptAt"].toString()));

        QVERIFY2(lines.contains(QStringLiteral("\"consent\":\"on\",\"event\":\"deliveryQueued\"")), qPrintable(lines));
        QVERIFY(lines.contains(QStringLiteral("\"event\":\"lateSessionSkipped\",\"handlerPid\":%1,\"hostPid\":%2,").arg(finisherPid).arg(deadHandler)));
        QVERIFY(lines.contains("\"reason\":\"damaged journal: no readable start line\""));
        const QStringList reusedNames = finisher.files(QStringLiteral("crash-host-%1-*.json").arg(reused));
        QCOMPARE(reusedNames.size(), 1);
        QVERIFY(readAll(dumps + "/" + reusedNames.first()).startsWith("{\"summary\": \"crash-host ended without saying ExitClient; how it ended is unknown: its handler had ended before it"));
        QCOMPARE(readAll(journalOf(alive.pid())), aliveBytes);
    }

    void damagedDumps_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty") << QByteArray() << "\"error\":\"not an ELF core file\"";
        QTest::newRow("an executable") << readAll(OSTREL_CRASH_HOST) << "\"error\":\"not an ELF core file\"";
        // An x86-64 core header that promises one program header, then nothing usable.
        QTest::newRow("core header only") << QByteArray::fromHex("7f454c4602010100000000000000000004003e00010000000000000000000000"
                                                                "4000000000000000000000000000000000000000400038000100400000000000")
                                                 + QByteArray(64, '\xff')
                                          << "\"threads\":[],\"warning\":\"cannot read the threads";
    }

    void damagedDumps()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QVERIFY(TestFiles::writeAll(dir.path() + "/core", bytes));
        const QJsonObject result = DumpReader::analyzeIsolated(OSTREL_HANDLER, dir.path() + "/core", QString(), 20000);
        const QByteArray json = QJsonDocument(result).toJson(QJsonDocument::Compact);
        QVERIFY2(json.contains(reason.toUtf8()), json.constData());
    }
};

QTEST_GUILESS_MAIN(tst_Capture)
#include "tst_capture.moc"
