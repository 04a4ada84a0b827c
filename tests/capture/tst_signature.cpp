// What a report names as the crash site and the signature it groups by, from the crashing
// thread's frames: stacks of Linux and Windows shapes, and the names the normaliser meets.

#include "capture/dumpreader.h"
#include "report/crashsignature.h"

#include <QtTest>

namespace {

const QJsonArray kModules {
    QJsonObject {{"name", "/usr/lib/app/app"}, {"file", "/usr/lib/app/app"}}, // installed below /usr/lib
    QJsonObject {{"name", "/usr/lib/app/plugins/libappcore.so"}, {"file", ""}},
    QJsonObject {{"name", "/usr/lib/x86_64-linux-gnu/libc.so.6"}, {"file", ""}},
    QJsonObject {{"name", "/opt/Qt/5.15.2/gcc_64/lib/libQt5Core.so.5"}, {"file", ""}}, // Qt, wherever it lies
    QJsonObject {{"name", "app.exe"}, {"file", "C:\\Program Files\\App\\app.exe"}},
    QJsonObject {{"name", "KERNELBASE.dll"}, {"file", "C:\\Windows\\System32\\KERNELBASE.dll"}},
};

// "module: function @file:line", "module: +0x1a" (no name), "?: 0x0" (no module)
QJsonArray framesOf(const QStringList &texts)
{
    QJsonArray frames;
    for (const QString &text : texts) {
        const QString module = text.section(": ", 0, 0);
        QString rest = text.section(": ", 1);
        QJsonObject f {{"pc", "0x1000"}};
        if (module != "?")
            f.insert("module", module);
        if (rest.startsWith("+"))
            f.insert("offset", rest.mid(1));
        else if (rest.startsWith("0x"))
            f.insert("pc", rest);
        else {
            if (rest.contains(" @")) {
                f.insert("file", rest.section(" @", 1).section(':', 0, 0));
                f.insert("line", rest.section(':', -1).toInt());
                rest = rest.section(" @", 0, 0);
            }
            f.insert("function", rest);
        }
        frames.append(f);
    }
    return frames;
}

} // namespace

class tst_Signature : public QObject
{
    Q_OBJECT

private slots:
    void stacks_data()
    {
        QTest::addColumn<QStringList>("frames");
        QTest::addColumn<QString>("site");
        QTest::addColumn<QString>("signature");

        QTest::newRow("abort in the app") << QStringList {"libc.so.6: __pthread_kill_implementation", "libc.so.6: raise", "libc.so.6: abort",
                                                          "app: Player::fail(int) const @player.cpp:12",
                                                          "app: void Player::run<int>(std::vector<int, std::allocator<int> > const&)",
                                                          "libQt5Core.so.5: QObject::event(QEvent*)", "app: main", "libc.so.6: __libc_start_call_main"}
                                          << "Player::fail(int) const player.cpp:12" << "Player::fail | Player::run<> | QObject::event | main";
        // The system's frames with lines do not stand in for the app's frame without one.
        QTest::newRow("in the C library, called by the app")
                << QStringList {"libc.so.6: __memmove_avx_unaligned_erms @memmove.S:300", "libappcore.so: (anonymous namespace)::copy(char*) [clone .cold]",
                                "app: main", "libc.so.6: __libc_start_call_main @libc_start_call_main.h:58"}
                << "(anonymous namespace)::copy(char*) [clone .cold] in libappcore.so" << "copy | main";
        QTest::newRow("stripped app") << QStringList {"app: +0x1a2b", "app: +0x10", "libc.so.6: __libc_start_call_main @libc_start_call_main.h:58"}
                                      << "app+0x1a2b" << "app+0x1a2b | app+0x10 | __libc_start_call_main";
        QTest::newRow("a call through a null pointer") << QStringList {"?: 0x0", "app: Widget::paint() @widget.cpp:5", "app: main"}
                                                       << "Widget::paint() widget.cpp:5" << "Widget::paint | main";
        QTest::newRow("no frame of the app") << QStringList {"libc.so.6: raise", "libc.so.6: abort",
                                                             "libQt5Core.so.5: qt_message_fatal(QtMsgType, QMessageLogContext const&, QString const&)",
                                                             "libQt5Core.so.5: QMessageLogger::fatal(char const*, ...) const",
                                                             "libQt5Core.so.5: QThread::run()"}
                                             << "QThread::run() in libQt5Core.so.5" << "QThread::run";
        QTest::newRow("windows, no symbols") << QStringList {"KERNELBASE.dll: RaiseException", "app.exe: +0x15e1", "app.exe: main"}
                                             << "app.exe+0x15e1" << "app.exe+0x15e1 | main";
        QTest::newRow("nothing") << QStringList {} << "" << "";
    }

    void stacks()
    {
        QFETCH(QStringList, frames);
        QFETCH(QString, site);
        QFETCH(QString, signature);
        const QJsonArray stack = framesOf(frames);
        const int at = CrashSignature::siteIndex(stack, kModules, "/usr/lib/app/app");
        QCOMPARE(at < 0 ? QString() : CrashSignature::frameText(stack.at(at).toObject()), site);
        const CrashSignature::Signature computed = CrashSignature::compute(stack, kModules, "/usr/lib/app/app");
        QCOMPARE(computed.text, signature);
        QCOMPARE(computed.frames.join(" | "), signature);
    }

    void names_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("normalised");
        QTest::newRow("plain") << "main" << "main";
        QTest::newRow("templates, return type") << "void std::vector<int, std::allocator<int> >::_M_realloc_insert<int const&>("
                                                   "__gnu_cxx::__normal_iterator<int*, std::vector<int, std::allocator<int> > >, int const&)"
                                                << "std::vector<>::_M_realloc_insert<>";
        QTest::newRow("lambda in a template") << "std::_Function_handler<void (), main::{lambda()#1}>::_M_invoke(std::_Any_data const&)"
                                              << "std::_Function_handler<>::_M_invoke";
        QTest::newRow("lambda") << "main::{lambda(int)#2}::operator()(int) const" << "main::{lambda#2}::operator()";
        QTest::newRow("local class") << "Foo::bar(int)::Local::run() const" << "Foo::bar::Local::run";
        QTest::newRow("operator<<") << "Foo::operator<<(int)" << "Foo::operator<<";
        QTest::newRow("operator new") << "void* Foo::operator new(unsigned long)" << "Foo::operator new";
        QTest::newRow("conversion") << "Foo::operator bool() const" << "Foo::operator bool";
        QTest::newRow("abi tag") << "std::__cxx11::basic_string<char>::_M_create[abi:cxx11](unsigned long&, unsigned long)"
                                 << "std::__cxx11::basic_string<>::_M_create";
        QTest::newRow("clone") << "(anonymous namespace)::crash(int) [clone .constprop.0] [clone .cold]" << "crash";
        QTest::newRow("symbol suffix") << "crashOnPurpose.cold" << "crashOnPurpose";
        QTest::newRow("dbghelp's anonymous namespace") << "`anonymous namespace'::crash" << "crash";
        QTest::newRow("debug info's template name") << "__invoke_impl<void, (anonymous namespace)::<lambda()>&>" << "__invoke_impl<>";
    }

    void names()
    {
        QFETCH(QString, name);
        QFETCH(QString, normalised);
        QCOMPARE(CrashSignature::normalisedFunction(name), normalised);
    }

    // As crash servers file an ELF module: the GUID's first three fields little-endian.
    void debugIds()
    {
        QCOMPARE(DumpReader::debugIdFromBuildId("0123456789abcdef0123456789abcdef01234567"), QString("67452301-ab89-efcd-0123-456789abcdef"));
        QCOMPARE(DumpReader::debugIdFromBuildId("01020304"), QString("04030201-0000-0000-0000-000000000000"));
        QCOMPARE(DumpReader::debugIdFromBuildId(""), QString());
    }
};

QTEST_GUILESS_MAIN(tst_Signature)
#include "tst_signature.moc"
