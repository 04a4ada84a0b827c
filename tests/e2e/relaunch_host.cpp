// A host on the fast reconnection policy (first attempt 200 ms, retries 150 ms apart), beside a
// copy of the reference crash handler. It stores a cloud configuration, says "handler-up" on stdout
// once the handler has answered it, then waits while the test kills that handler: the library's
// retries fail, it relaunches the handler, and the new one must answer the cloud configuration
// again ("handler-back"). Then it says ExitClient and exits.
//   e2e_relaunch_host <work folder>      exit 0, or 3/4/5 for the step that timed out

#include <OstrelSDK/ostrelsdk.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSettings>
#include <QTimer>

#include <cstdio>

namespace {

int s_cloudReplies = 0;
int s_exitReplies = 0;

void handler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (message.contains(QLatin1String("socket output:ok cloudConfig")))
        ++s_cloudReplies;
    if (message.contains(QLatin1String("socket output:ok ExitClient")))
        ++s_exitReplies;
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

bool waitFor(const int &counter, int wanted, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    while (counter < wanted && clock.elapsed() < timeoutMs) {
        QTimer::singleShot(10, &loop, SLOT(quit()));
        loop.exec();
    }
    return counter >= wanted;
}

void say(const char *word)
{
    std::printf("%s\n", word);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("e2e-relaunch-host"));
    if (argc != 2)
        return 2;
    const QString work = QString::fromLocal8Bit(argv[1]);
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, work + QStringLiteral("/wer"));
    qInstallMessageHandler(handler);

    Ostrel_SDK::StartCrash(QStringLiteral("relaunch"), QString(), QString(), work + QStringLiteral("/dumps"), 1, 2, QString());
    Ostrel_SDK::setCloudConfig(QStringLiteral("cfg-one"), QStringLiteral("cfg-two"));

    if (!waitFor(s_cloudReplies, 1, 20000))
        return 3;
    say("handler-up");
    if (!waitFor(s_cloudReplies, 2, 30000))
        return 4;
    say("handler-back");
    Ostrel_SDK::exitClient();
    return waitFor(s_exitReplies, 1, 20000) ? 0 : 5;
}
