// ostrel-report on real reports: the handler's report of a crash host, and of the same host
// stripped after objcopy split its debug information off, symbolized from a folder that holds that
// debug file (by build id or by name), another build's file, or nothing; bad reports; a dump folder
// listed and grouped.

#include "capture/dumpreader.h"
#include "handlerdriver.h"

#include <QtTest>

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run tool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(OSTREL_REPORT_TOOL), arguments);
    Run run;
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// The path of the report the handler writes when `program` (the crash host or its stripped copy)
// writes through a null pointer; empty when there is none.
QString crashReport(const QString &program, const QString &folder)
{
    CrashHost host({"segv"}, folder + "/work", program);
    HandlerDriver handler(&host.process, folder + "/dumps", "crash-host", configIn(folder + "/config")); // the core is kept
    if (!handler.say("cloudConfig@a@b"))
        return QString();
    host.go();
    host.process.waitForFinished(10000);
    const QStringList reports = handler.finished() ? handler.files("*.json") : QStringList();
    return reports.size() == 1 ? folder + "/dumps/" + reports.first() : QString();
}

// The crashing thread's frames in the host's own module, as "function file:line" (or the reason it
// stayed unnamed).
QStringList hostFrames(const QJsonObject &report)
{
    QStringList frames;
    for (const QJsonValue &f : report["crash"]["analysis"]["threads"][0]["frames"].toArray()) {
        if (f["module"].toString() == QLatin1String("capture_crash_host"))
            frames << (f["function"].toString() + ' ' + f["file"].toString() + ':' + QString::number(f["line"].toInt())
                       + (f["inlined"].toBool() ? " inlined" : "") + f["notSymbolized"].toString());
    }
    return frames;
}

bool copy(const QString &from, const QString &to)
{
    QDir().mkpath(QFileInfo(to).absolutePath());
    return QFile::copy(from, to);
}

} // namespace

class tst_OstrelReport : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_named;    // the report of the host as built
    QString m_stripped; // of its stripped copy
    QString m_buildId;

private slots:
    void initTestCase()
    {
        if (corePatternNow().startsWith('|'))
            QSKIP("cores go to a collector program here");
        m_buildId = DumpReader::fileBuildId(OSTREL_CRASH_HOST);
        QCOMPARE(DumpReader::fileBuildId(OSTREL_STRIPPED_DIR "/bin/capture_crash_host"), m_buildId);
        m_named = crashReport(OSTREL_CRASH_HOST, m_dir.filePath("named"));
        m_stripped = crashReport(OSTREL_STRIPPED_DIR "/bin/capture_crash_host", m_dir.filePath("stripped"));
        QVERIFY(!m_named.isEmpty() && !m_stripped.isEmpty());
        // The stripped host's frames are module and offset only, as the handler reports them.
        const QStringList frames = hostFrames(TestFiles::jsonObject(m_stripped));
        QVERIFY(frames.size() >= 2);
        QVERIFY2(frames.filter(QRegularExpression("^ :0$")).size() == frames.size(), qPrintable(frames.join('\n')));
    }

    void symbolize_data()
    {
        QTest::addColumn<QString>("layout"); // where the debug folder holds what
        QTest::addColumn<QString>("unnamed"); // empty: named as the unstripped run named them; else the reason, a pattern
        QTest::newRow("build-id layout") << "build-id" << "";
        QTest::newRow("by name") << "name" << "";
        QTest::newRow("another build's file") << "other"
            << "names nothing at offset 0x[0-9a-f]+; passed over: .*/\\.build-id/../.*\\.debug: build id [0-9a-f]+$";
        QTest::newRow("none") << "none" << "/capture_crash_host names nothing at offset 0x[0-9a-f]+$";
    }

    void symbolize()
    {
        QFETCH(QString, layout);
        QFETCH(QString, unnamed);
        const QString debug = m_dir.filePath("debug-" + layout);
        QVERIFY(QDir().mkpath(debug));
        const QString idPath = debug + "/.build-id/" + m_buildId.left(2) + '/' + m_buildId.mid(2) + ".debug";
        if (layout == "build-id")
            QVERIFY(copy(OSTREL_STRIPPED_DIR "/capture_crash_host.debug", idPath));
        else if (layout == "name")
            QVERIFY(copy(OSTREL_STRIPPED_DIR "/capture_crash_host.debug", debug + "/capture_crash_host.debug"));
        else if (layout == "other")
            QVERIFY(copy(OSTREL_HANDLER, idPath));

        const Run run = tool({"symbolize", m_stripped, "--debug-dir", debug});
        QCOMPARE(run.exitCode, 0);
        const QString copyPath = m_stripped.chopped(5) + ".symbolized.json";
        QVERIFY2(run.out.startsWith(copyPath + ": "), qPrintable(run.out + run.err));
        QVERIFY(TestFiles::readAll(copyPath).startsWith("{\"summary\": \"crash-host crashed: SIGSEGV"));
        const QStringList frames = hostFrames(TestFiles::jsonObject(copyPath));
        if (unnamed.isEmpty()) {
            QCOMPARE(frames, hostFrames(TestFiles::jsonObject(m_named)));
            return;
        }
        QVERIFY(!frames.isEmpty());
        for (const QString &frame : frames)
            QVERIFY2(QRegularExpression("^ :0.*" + unnamed).match(frame).hasMatch(), qPrintable(frame));
    }

    void badInput_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file
        QTest::addColumn<QString>("reason");
        QTest::newRow("damaged") << QByteArray("{\"summary\": \"a crashed\",\n  \"formatVersion\": 2,\n") << "damaged: .* at byte \\d+";
        QTest::newRow("version 1") << QByteArray("{\"appName\": \"a\", \"hostPid\": 1}") << "format version 1; this tool reads version 2";
        QTest::newRow("no crash") << QByteArray("{\"formatVersion\": 2}") << "damaged: it has no \"crash\" object";
        QTest::newRow("missing") << QByteArray() << "cannot be read: .*";
    }

    // Stated on stderr, exit code 1, no copy written.
    void badInput()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        const QString path = m_dir.filePath("bad.json");
        QFile::remove(path);
        if (!content.isEmpty())
            QVERIFY(TestFiles::writeAll(path, content));
        const Run run = tool({"symbolize", path});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(QRegularExpression('^' + QRegularExpression::escape(path) + ": " + reason + "\n$").match(run.err).hasMatch(), qPrintable(run.err));
        QVERIFY(!QFile::exists(m_dir.filePath("bad.symbolized.json")));
    }

    // Oldest first, delivery from the record beside a report; grouped by app, kind and signature,
    // most frequent first. Copies written beside reports are not reports.
    void list()
    {
        const QString folder = m_dir.filePath("listed");
        QVERIFY(QDir().mkpath(folder));
        const QJsonObject real = TestFiles::jsonObject(m_named);
        const auto add = [&](const QString &name, const QString &goneAt, const QString &kind, const QString &signature) {
            QJsonObject report = real;
            report["hostGoneAt"] = goneAt;
            QJsonObject crash = report["crash"].toObject();
            crash["kind"] = kind;
            report["crash"] = crash;
            if (signature.isEmpty())
                report.remove("signature"); // an exit has none
            else
                report["signature"] = signature;
            return TestFiles::writeAll(folder + '/' + name, QJsonDocument(report).toJson());
        };
        QVERIFY(add("b.json", "2026-12-07T10:00:02.000Z", "crashed", "nullWrite | main"));
        QVERIFY(add("a.json", "2026-12-07T10:00:01.000Z", "crashed", "nullWrite | main"));
        QVERIFY(add("c.json", "2026-12-07T10:00:03.000Z", "crashed", "crashInThread | start_thread"));
        QVERIFY(add("d.json", "2026-12-07T10:00:04.000Z", "exited", ""));
        QVERIFY(add("a.symbolized.json", "2026-12-07T10:00:05.000Z", "crashed", "nullWrite | main"));
        QVERIFY(TestFiles::writeAll(folder + "/b.delivery.json", "{\"status\": \"delivered\", \"eventId\": \"0123\"}"));
        QVERIFY(TestFiles::writeAll(folder + "/e.json", "{\"summary\": "));

        const QString pid = QString::number(real["hostPid"].toInt());
        const Run plain = tool({"list", folder});
        QCOMPARE(plain.exitCode, 0);
        const QStringList lines = plain.out.split('\n', Qt::SkipEmptyParts);
        const QStringList expected {
            "^TIME +PID +APP +KIND +DELIVERY +SIGNATURE$",
            "^- +- +e\\.json +- +- +\\(not listed: damaged: .*\\)$",
            "^2026-12-07 10:00:01 UTC +" + pid + " +crash-host +crashed +local +nullWrite \\| main$",
            "^2026-12-07 10:00:02 UTC +" + pid + " +crash-host +crashed +delivered +nullWrite \\| main$",
            "^2026-12-07 10:00:03 UTC +" + pid + " +crash-host +crashed +local +crashInThread \\| start_thread$",
            "^2026-12-07 10:00:04 UTC +" + pid + " +crash-host +exited +local +\\(no signature\\)$",
        };
        QCOMPARE(lines.size(), expected.size());
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(QRegularExpression(expected[i]).match(lines[i]).hasMatch(), qPrintable(plain.out));

        const Run grouped = tool({"list", "--group", folder});
        QCOMPARE(grouped.exitCode, 0);
        QVERIFY2(QRegularExpression("^COUNT +FIRST +LAST +APP +KIND +SIGNATURE\n"
                                    "2 +2026-12-07 10:00:01 UTC +2026-12-07 10:00:02 UTC +crash-host +crashed +nullWrite \\| main\n"
                                    "1 +2026-12-07 10:00:04 UTC .* exited +\\(no signature\\)\n"
                                    "1 +2026-12-07 10:00:03 UTC .* crashed +crashInThread \\| start_thread\n"
                                    "1 +- +- +e\\.json +- +\\(not listed: damaged: .*\\)\n$").match(grouped.out).hasMatch(),
                 qPrintable(grouped.out));
        QCOMPARE(tool({"list", m_dir.filePath("nothing")}).err, m_dir.filePath("nothing") + " is not a readable folder\n");
    }
};

QTEST_GUILESS_MAIN(tst_OstrelReport)
#include "tst_ostrelreport.moc"
