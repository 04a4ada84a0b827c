// The minidump reader on a real dump (written by MiniDumpWriteDump under Wine for a process that
// wrote through a null pointer) and on damaged copies of it, and the summary lines a Windows end
// gives. Runs on every platform: the reader is portable.

#include "capture/capture.h"
#include "capture/minidump.h"
#include "testfiles.h"

#include <QtTest>

#include <algorithm>

namespace {

QByteArray realDump() { return TestFiles::readAll(OSTREL_MINIDUMP); }

QByteArray patched(QByteArray dump, int offset, quint32 value)
{
    qToLittleEndian(value, reinterpret_cast<uchar *>(dump.data()) + offset);
    return dump;
}

} // namespace

class TestMinidump : public QObject
{
    Q_OBJECT

private slots:
    void realDumpRead()
    {
        const QJsonObject r = Minidump::read(realDump());
        QVERIFY2(!r.contains("error"), qPrintable(r["error"].toString()));
        QCOMPARE(QJsonArray({r["exceptionCode"], r["exceptionName"], r["access"], r["address"], r["faultingModule"], r["faultingOffset"],
                             r["pid"], r["system"]["cpu"]}),
                 QJsonArray({"0xC0000005", "EXCEPTION_ACCESS_VIOLATION", "writing", "0x0", "win_crash_host.exe", "0x15e1", 32, "amd64"}));

        const QJsonArray threads = r["threads"].toArray();
        QCOMPARE(QJsonArray({threads.size(), threads[0]["tid"], threads[0]["crashing"]}), QJsonArray({2, 36, true}));
        QCOMPARE(threads[0]["frames"][0].toObject(), (QJsonObject {{"pc", "0x1400015e1"}, {"module", "win_crash_host.exe"}, {"offset", "0x15e1"}}));
        // The idle thread waits in the system's code; its pc comes from its context.
        QCOMPARE(threads[1]["frames"][0]["module"].toString(), QStringLiteral("ntdll.dll"));

        // What the stack walks start from: the exception's amd64 CONTEXT and each thread's own, whose
        // stack pointers lie in the memory the dump holds; none without the memory list.
        const Minidump::Stacks stack = Minidump::stacks(realDump());
        QVERIFY2(stack.error.isEmpty(), qPrintable(stack.error));
        QCOMPARE(QList<qint64>({stack.context.size(), qint64(stack.threads.size()), stack.threads[0].tid, stack.threads[1].context.size()}),
                 QList<qint64>({1232, 2, 36, 1232}));
        const quint64 rsp = qFromLittleEndian<quint64>(stack.context.constData() + 0x98);
        QVERIFY(std::any_of(stack.memory.begin(), stack.memory.end(), [&](const Minidump::MemoryRange &m) {
            return rsp >= m.address && rsp - m.address < m.size;
        }));
        QCOMPARE(Minidump::stacks(patched(realDump(), 0x20 + 4 * 12, 0)).error, QStringLiteral("the dump holds no stack memory"));

        // The ids symbol servers file a module by: TimeDateStamp and SizeOfImage; no CodeView record in
        // this build, so no debug id. The GUID's first three fields are little-endian in the record.
        const QJsonArray modules = r["modules"].toArray();
        QCOMPARE(QJsonArray({modules.size(), modules[0]["file"], modules[0]["start"], modules[0]["end"], modules[0]["codeId"],
                             modules[0]["debugId"].toString(), modules[1]["version"]}),
                 QJsonArray({8, "Z:\\tmp\\wc\\win_crash_host.exe", "0x140000000", "0x14004e000", "6b16323d4e000", "", "6.1.7601.24059"}));
        QByteArray record("RSDS");
        for (char c = 0; c < 16; ++c)
            record.append(c);
        record.append("\x2a\0\0\0C:\\out\\app.pdb", 19).append('\0');
        const Minidump::DebugIds ids = Minidump::codeViewIds(record);
        QCOMPARE(QStringList({ids.debugId, ids.debugFile}), QStringList({"03020100-0504-0706-0809-0a0b0c0d0e0f-2a", "app.pdb"}));
    }

    // Layout of the real dump: header, directory of 8 entries at 0x20, module list (868 bytes) at
    // 0xb26, thread list at 0x122, exception stream (168 bytes) at 0x31674; 203756 bytes in all.
    void damagedDumps_data()
    {
        QTest::addColumn<QByteArray>("dump");
        QTest::addColumn<QString>("reason");
        const QByteArray dump = realDump();
        QCOMPARE(dump.size(), 203756);
        QTest::newRow("empty") << QByteArray() << "0 bytes are too few for a minidump header";
        QTest::newRow("cut in the header") << dump.left(20) << "20 bytes are too few for a minidump header";
        QTest::newRow("not a minidump") << patched(dump, 0, 0x464c457f) << "no MDMP signature";
        QTest::newRow("cut in the directory")
                << dump.left(0x50) << "the stream directory (8 entries at 0x20) lies past the end of the file (80 bytes)";
        QTest::newRow("cut in the module list")
                << dump.left(0xc00) << "the module list stream (868 bytes at 0xb26) lies past the end of the file (3072 bytes)";
        QTest::newRow("cut in the exception")
                << dump.left(0x31700) << "the exception stream (168 bytes at 0x31674) lies past the end of the file (202496 bytes)";
        QTest::newRow("directory far off") << patched(dump, 12, 0xfffffff0)
                                           << "the stream directory (8 entries at 0xfffffff0) lies past the end of the file (203756 bytes)";
        QTest::newRow("stream count huge") << patched(dump, 8, 0x10000000) << "the header announces 268435456 streams";
        QTest::newRow("exception stream too small") << patched(dump, 0x20 + 6 * 12 + 4, 16) << "the exception stream is 16 bytes, too short";
        QTest::newRow("module count huge") << patched(dump, 0xb26, 0x7fffffff)
                                           << "the module list stream announces 2147483647 entries, more than its 868 bytes hold";
        QTest::newRow("module name far off") << patched(dump, 0xb2a + 20, 0xffffffff) << "module 0's name lies outside the file";
        QTest::newRow("stack far off") << patched(dump, 0x126 + 36, 0xffffff00) << "thread 36's stack lies outside the file";
    }

    void damagedDumps()
    {
        QFETCH(QByteArray, dump);
        QFETCH(QString, reason);
        QCOMPARE(Minidump::read(dump), (QJsonObject {{"error", "dump unreadable: " + reason}}));
    }

    void summaries_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<quint32>("code");
        QTest::addColumn<QByteArray>("dump"); // empty: none found
        QTest::addColumn<QString>("line");
        const int crashed = ProcessEnd::Crashed;
        QTest::newRow("access violation, read")
                << crashed << 0xc0000005u << realDump()
                << "demo crashed: EXCEPTION_ACCESS_VIOLATION (0xC0000005) writing 0x0 in thread 36: win_crash_host.exe+0x15e1";
        QTest::newRow("divide by zero, no dump")
                << crashed << 0xc0000094u << QByteArray()
                << "demo crashed: EXCEPTION_INT_DIVIDE_BY_ZERO (0xC0000094; no dump: no local dumps registered for demo.exe)";
        QTest::newRow("stack buffer overrun, unreadable dump")
                << crashed << 0xc0000409u << realDump().left(100)
                << "demo crashed: STATUS_STACK_BUFFER_OVERRUN (0xC0000409; analysis failed: dump unreadable: the stream "
                   "directory (8 entries at 0x20) lies past the end of the file (100 bytes))";
        QTest::newRow("unnamed code") << crashed << 0xc0001234u << QByteArray()
                                      << "demo crashed: exception 0xC0001234 (0xC0001234; no dump: no local dumps registered for demo.exe)";
        QTest::newRow("ctrl-c") << int(ProcessEnd::Killed) << 0xc000013au << QByteArray() << "demo was killed: STATUS_CONTROL_C_EXIT";
        QTest::newRow("exit code") << int(ProcessEnd::Exited) << 0u << QByteArray() << "demo exited with status 3 without saying ExitClient";
    }

    void summaries()
    {
        QFETCH(int, kind);
        QFETCH(quint32, code);
        QFETCH(QByteArray, dump);
        ProcessEnd end;
        end.kind = ProcessEnd::Kind(kind);
        end.exceptionCode = code;
        end.exitCode = 3;
        QJsonObject crash {{"end", end.toJson()}, {"core", QJsonObject {{"format", "minidump"}}}};
        if (dump.isEmpty())
            crash["core"] = QJsonObject {{"format", "minidump"}, {"reason", "no local dumps registered for demo.exe"}};
        else
            crash["analysis"] = Minidump::read(dump);
        QTEST(Capture::summaryLine("demo", end.kind, crash), "line");
    }
};

QTEST_GUILESS_MAIN(TestMinidump)
#include "tst_minidump.moc"
