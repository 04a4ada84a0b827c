// Renders KivCrashDialog's window on a real display (on Linux or under Wine: run it under xvfb-run)
// as the user would see it after a crash, closed and with the details open, and saves both as PNG
// files:
//     dialog_screenshots <folder>
// prints the paths, and fails with a reason when there is no display or a picture is empty.

#include "crashdialog.h"
#include "qtcompat.h"

#include <QApplication>
#include <QDir>
#include <QPlainTextEdit>
#include <QTest>
#include <QToolButton>

#include <cstdio>

namespace {

int fail(const QString &reason)
{
    std::fprintf(stderr, "dialog_screenshots: %s\n", qPrintable(reason));
    return 1;
}

DialogRequest demoRequest()
{
    DialogRequest r;
    r.appName = QStringLiteral("ostrel_demo");
    r.summary = QStringLiteral("ostrel_demo crashed: SIGSEGV (SEGV_MAPERR) at 0x0 in thread main: "
                               "crashNow() examples/demo/main.cpp:57");
    r.details = QStringLiteral(
            "Crash: SIGSEGV (SEGV_MAPERR) at 0x0\n"
            "Thread main (crashed):\n"
            "  #0 crashNow()            examples/demo/main.cpp:57\n"
            "  #1 DemoWindow::onCrash() examples/demo/main.cpp:88\n"
            "  #2 QObject::event(QEvent*) libQt5Core.so.5\n"
            "OS: Debian GNU/Linux 12, kernel 6.1.0\n"
            "App: ostrel_demo 3.3.0, started 2026-12-07T12:40:01Z\n"
            "User: u-1029\n");
    r.attachments = {{QStringLiteral("ostrel_demo-4711-20261207T124312Z.json"), QString(), 18734},
                     {QStringLiteral("ostrel_demo.log (last 64 KiB)"), QString(), 65536}};
    r.reportPath = QStringLiteral("/home/user/.local/state/OstrelSDK/reports/ostrel_demo-4711-20261207T124312Z.json");
    r.hostRanSeconds = 183;
    r.restartable = true;
    return r;
}

bool save(QWidget *window, const QString &path, QStringList *saved)
{
    const QPixmap picture = window->grab();
    if (picture.isNull() || !picture.save(path, "PNG"))
        return false;
    saved->append(path);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QtCompat::scaleForHighDpi();
    QApplication app(argc, argv);
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("xcb") && platform != QLatin1String("windows"))
        return fail(QStringLiteral("needs a real display (run it under xvfb-run), not \"%1\"")
                            .arg(QGuiApplication::platformName()));
    const QString folder = app.arguments().value(1);
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return fail(QStringLiteral("usage: dialog_screenshots <folder>"));

    QStringList saved;
    CrashDialog dialog(demoRequest());
    dialog.show();
    if (!QTest::qWaitForWindowExposed(&dialog))
        return fail(QStringLiteral("the dialog was never shown"));
    QTest::keyClicks(dialog.findChild<QPlainTextEdit *>(),
                     QStringLiteral("I had just pressed Export on a large project."));
    if (!save(&dialog, folder + QStringLiteral("/crashdialog-collapsed.png"), &saved))
        return fail(QStringLiteral("no picture of the closed dialog"));
    dialog.findChild<QToolButton *>()->click();
    if (!save(&dialog, folder + QStringLiteral("/crashdialog-details.png"), &saved))
        return fail(QStringLiteral("no picture of the open details"));

    // The same request in a right-to-left language's words, to check that names and text keep their order.
    DialogRequest rtl = demoRequest();
    rtl.appName = QString::fromUtf8("עורך");
    CrashDialog rtlDialog(rtl);
    rtlDialog.show();
    if (!QTest::qWaitForWindowExposed(&rtlDialog))
        return fail(QStringLiteral("the right-to-left dialog was never shown"));
    for (const QChar c : QString::fromUtf8("לחצתי על ייצוא (Export) ואז זה נסגר."))
        QTest::sendKeyEvent(QTest::Click, rtlDialog.findChild<QPlainTextEdit *>(), Qt::Key_unknown, QString(c), Qt::NoModifier);
    if (!save(&rtlDialog, folder + QStringLiteral("/crashdialog-rtl.png"), &saved))
        return fail(QStringLiteral("no picture of the right-to-left dialog"));

    for (const QString &path : saved)
        std::printf("%s\n", qPrintable(QDir(path).absolutePath()));
    return 0;
}
