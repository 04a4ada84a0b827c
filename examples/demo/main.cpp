// ostrel-demo: a console host that uses OstrelSDK as a real application would, with the reference
// crash handler beside it, and then crashes on purpose.
//
//   ostrel-demo [--workdir DIR] [--clean] [--dsn DSN] [--ask]
//                                           run the host (default DIR: <temp>/ostrel-demo); with a
//                                           DSN, its cloud configuration turns delivery of the crash on
//   ostrel-demo --show DIR                  print what the crash handler recorded for a run in DIR
//   ostrel-demo --worker LOGFILE            (internal) the host's worker sub-process
//
// Layout of DIR: logs/ (the host's log, a third-party log, the worker's log), dumps/ (the dump
// folder given to StartCrash: the handler's journal and crash report land there), wer/ (the
// local-dump settings, so that registering them needs no root). The client info file goes where
// the library always puts it, under $HOME; ./scripts/demo points HOME at a folder of its own.

#include "show.h"

#include "localdumpsettings.h"

#include <OstrelSDK/ostrelsdk.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const char kAppName[] = "ostrel-demo";
// The local dumps asked for. Linux: full (2), so that the handler keeps the kernel's core beside the
// report. Windows: mini dumps (1), the stacks and modules the report needs, at a small fraction of
// a full dump's size and writing time; the handler reads the dump and removes it.
#ifdef Q_OS_WIN
const int kDumpType = 1;
#else
const int kDumpType = 2;
#endif
const char kReplyMarker[] = "[OstrelSDk] socket output:";

// The host's own log file: every Qt message of the process, the library's lines included.
QFile *s_log = nullptr;
// What the crash handler wrote back, as the library logs it ("ok cloudConfig", ...).
QStringList s_handlerReplies;

void logMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    static const char *const levels[] = {"debug", "warning", "critical", "fatal", "info"};
    const QByteArray line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + ' '
            + levels[type] + ' ' + message.toUtf8() + '\n';
    if (s_log) {
        s_log->write(line);
        s_log->flush();
    }
    std::fputs(line.constData(), stderr);
    // The library streams the line as a QString, so it may come quoted.
    const int marker = message.indexOf(QLatin1String(kReplyMarker));
    if (marker >= 0 && marker <= 1) {
        QString reply = message.mid(marker + int(sizeof(kReplyMarker)) - 1);
        if (marker == 1 && reply.endsWith(QLatin1Char('"')))
            reply.chop(1);
        s_handlerReplies.append(reply.trimmed());
    }
}

void appendLine(const QString &path, const QString &text)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + ' ' + text.toUtf8() + '\n');
}

bool handlerSaid(const QString &prefix)
{
    for (const QString &line : s_handlerReplies) {
        if (line.startsWith(prefix))
            return true;
    }
    return false;
}

// Runs the event loop until `done` holds or `timeoutMs` have passed; the library's timers and
// socket live on that loop. Returns whether it holds.
template<typename Predicate>
bool waitUntil(Predicate done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    while (!done() && clock.elapsed() < timeoutMs) {
        QTimer::singleShot(10, &loop, SLOT(quit()));
        loop.exec();
    }
    return done();
}

// The library gives the host no signal that the handler is connected. The reference handler
// answers every frame with "ok <command>" (and reports a registered sub-process that ends), which
// the library logs; waiting for such a line in our own log is how the demo knows its messages have
// arrived.
bool waitForHandlerLine(const QString &prefix, int timeoutMs)
{
    return waitUntil([&prefix] { return handlerSaid(prefix); }, timeoutMs);
}

// The worker does nothing but live as long as the host: its stdin is a pipe from the host, which
// reaches end of file when the host ends, however it ends.
int runWorker(const QString &logPath)
{
    const qint64 pid = QCoreApplication::applicationPid();
    appendLine(logPath, QStringLiteral("worker %1 started").arg(pid));
    while (std::getchar() != EOF) {
    }
    appendLine(logPath, QStringLiteral("worker %1 stopping: host gone").arg(pid));
    return 0;
}

// Not inlined, so that the report names it as the crash site.
[[noreturn]] __attribute__((noinline)) void crashOnPurpose()
{
    // A real invalid access: a store through a null pointer that the compiler cannot see through.
    // The OS's record of it (the kernel's core on Linux, the local dump on Windows) is what the
    // crash handler reads the stack from.
    static volatile std::uintptr_t s_address = 0;
    *reinterpret_cast<volatile int *>(s_address) = 42;
    std::abort(); // not reached
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--worker") == 0)
        return runWorker(QString::fromLocal8Bit(argv[2]));

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QLatin1String(kAppName));

    QStringList args = app.arguments().mid(1);
    if (args.size() == 2 && args.at(0) == QLatin1String("--show"))
        return showDemoRun(args.at(1));
    const bool clean = args.removeAll(QStringLiteral("--clean")) > 0;
    // --ask: the app's setting is "ask me after a crash" instead of "send".
    const bool ask = args.removeAll(QStringLiteral("--ask")) > 0;
    // Where the crash report is delivered: the app's own setting, handed over as cloud configuration.
    QString dsn;
    const int dsnAt = args.indexOf(QStringLiteral("--dsn"));
    if (dsnAt >= 0 && dsnAt + 1 < args.size()) {
        dsn = args.at(dsnAt + 1);
        args.erase(args.begin() + dsnAt, args.begin() + dsnAt + 2);
    }
    QString workDir = QDir::tempPath() + QLatin1String("/ostrel-demo");
    if (args.size() == 2 && args.at(0) == QLatin1String("--workdir")) {
        workDir = args.at(1);
        args.clear();
    }
    if (!args.isEmpty()) {
        std::fputs("usage: ostrel-demo [--workdir DIR] [--clean] [--dsn DSN] [--ask] | --show DIR\n", stderr);
        return 2;
    }

    workDir = QDir(workDir).absolutePath();
    const QString logDir = workDir + QLatin1String("/logs");
    const QString dumpDir = workDir + QLatin1String("/dumps");
    const QString werDir = workDir + QLatin1String("/wer");
    // The dump folder is left to the crash handler, which makes it private (0700).
    for (const QString &dir : {logDir, werDir})
        QDir().mkpath(dir);
    // The host's working folder is where the kernel writes a core under the default core pattern;
    // the crash handler moves it from there into the dump folder.
    QDir::setCurrent(workDir);

    QFile log(logDir + QLatin1String("/ostrel-demo.log"));
    log.open(QIODevice::WriteOnly | QIODevice::Append);
    s_log = &log;
    qInstallMessageHandler(logMessage);
    qInfo("ostrel-demo %lld starting, library %s, work folder %s", qint64(QCoreApplication::applicationPid()),
          qPrintable(Ostrel_SDK::getOstrelVersion()), qPrintable(workDir));

    // Local-dump settings: read by the library here, written by the registration tool (launched
    // detached, so it learns the folder from the environment).
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, werDir);
    qputenv("OSTREL_WER_SETTINGS_DIR", QFile::encodeName(werDir));

    // A component of ours that keeps a log of its own.
    const QString thirdPartyLog = logDir + QLatin1String("/player.log");
    appendLine(thirdPartyLog, QStringLiteral("player: decoder ready (h264, 1920x1080)"));
    appendLine(thirdPartyLog, QStringLiteral("player: buffering 2.5 s"));

    // The worker sub-process, registered before StartCrash so its local-dump settings are
    // registered along with the host's. It is this program again, so its executable name is ours.
    const QString workerLog = logDir + QLatin1String("/worker.log");
    QProcess worker;
    worker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    worker.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--worker"), workerLog});
    if (!worker.waitForStarted(5000))
        qCritical("worker did not start: %s", qPrintable(worker.errorString()));
    SubProcess_Info workerInfo;
    workerInfo.appName = QLatin1String(kAppName);
    workerInfo.role = QStringLiteral("worker");
    workerInfo.version = QStringLiteral("1.0");
    workerInfo.dmpPath = dumpDir;
    workerInfo.dmpType = kDumpType;
    workerInfo.dmpCount = 10;
    Ostrel_SDK::subProcessInfo({workerInfo});

    Ostrel_SDK::StartCrash(QStringLiteral("demo"), QStringLiteral("channel=stable"), QStringLiteral("build=1234"),
                           dumpDir, 10, kDumpType, QStringLiteral("upload=off"));
    Ostrel_SDK::setClientLogPath(log.fileName());
    Ostrel_SDK::appendClientThirdpartyLogPath(thirdPartyLog);
    // Stored now, sent by the library after every connection; the login goes with the first one.
    // The handler parameters said upload=off; the user agreed in the app's settings since, so the
    // newer word turns it on (or to "ask", the crash dialog), with the DSN of the team's crash server.
    Ostrel_SDK::setCloudConfig(dsn.isEmpty() ? QStringLiteral("region=eu-west")
                                             : QStringLiteral("region=eu-west;dsn=%1;upload=%2;release=1.0")
                                                       .arg(dsn, ask ? QStringLiteral("ask") : QStringLiteral("on")),
                               QStringLiteral("sampling=1.0"));
    Ostrel_SDK::setUserInfo(QStringLiteral("demo-user-42"), QString());

    // The rest is sent only while connected: wait until the handler has answered the connect-time
    // messages. The library's first attempt comes 500 ms after StartCrash; a handler slow to start
    // (a loaded machine, a fresh Wine prefix) misses it and is reached by the retry 20 s later.
    if (!waitForHandlerLine(QStringLiteral("ok cloudConfig"), 25000))
        qWarning("the crash handler did not answer; the following messages will be lost");
    Ostrel_SDK::enterLive(QStringLiteral("live-1001"), QString(), true);
    Ostrel_SDK::setStreamNode(QStringLiteral("edge-7"), QStringLiteral("rtmp://edge-7.example/live"));
    Ostrel_SDK::checkExceptionInfos(QStringLiteral("render-stall"), QStringLiteral("frame=1234"));
    Ostrel_SDK::subProcessPid(workerInfo.appName, QString::number(worker.processId()), workerLog, 1);
    waitForHandlerLine(QStringLiteral("ok subProcessInfo"), 5000);

    if (clean) {
        qInfo("ostrel-demo: done, exiting normally");
        Ostrel_SDK::exitClient();
        waitForHandlerLine(QStringLiteral("ok ExitClient"), 5000);
        // Stopping the worker first lets the handler see a sub-process end while the host lives.
        worker.closeWriteChannel();
        worker.waitForFinished(5000);
        waitForHandlerLine(QStringLiteral("subProcessExited"), 5000);
        return 0;
    }

    // On Windows the stack comes from the dump that the OS writes only for an executable with local
    // dumps registered, which the registration tool that StartCrash started does: let it finish.
    const QString exe = QLatin1String(kAppName) + QLatin1String(".exe");
    const QString wanted = QString(dumpDir).replace(QLatin1Char('/'), QLatin1Char('\\'));
    if (!waitUntil([&] { return readLocalDumpSettings(exe).dumpFolder == wanted; }, 10000))
        qWarning("local dumps of %s are not registered for %s: the OS may keep no dump", qPrintable(exe), qPrintable(wanted));

    qInfo("ostrel-demo: about to crash on purpose (writing through a null pointer)");
    appendLine(thirdPartyLog, QStringLiteral("player: last frame before the crash"));
    crashOnPurpose();
}
