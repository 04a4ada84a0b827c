// A host on the fast reconnection policy beside a copy of the reference crash handler. It stores a
// cloud configuration and says "handler-up" once the handler has answered it; the test then kills
// that handler, the library's retries fail and it relaunches one, which must answer the cloud
// configuration again ("handler-back"). Then it says ExitClient and exits.
//   e2e_relaunch_host <work folder>      exit 0, or 3/4/5 for the step that timed out

#include <OstrelSDK/ostrelsdk.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSettings>
#include <QTimer>

#include <cstdio>

namespace {

int s_cloudReplies = 0;
int s_exitReplies = 0;

void handler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    s_cloudReplies += message.contains(QLatin1String("socket output:ok cloudConfig"));
    s_exitReplies += message.contains(QLatin1String("socket output:ok ExitClient"));
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

bool waitFor(const int &counter, int wanted, int timeoutMs, const char *say = nullptr)
{
    const QDeadlineTimer deadline(timeoutMs);
    QTimer tick; // wakes the wait below at least every 10 ms
    tick.start(10);
    while (counter < wanted && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (counter >= wanted && say) {
        std::printf("%s\n", say);
        std::fflush(stdout);
    }
    return counter >= wanted;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("e2e-relaunch-host"));
    const QString work = QString::fromLocal8Bit(argv[argc - 1]);
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, work + QStringLiteral("/wer"));
    qInstallMessageHandler(handler);

    Ostrel_SDK::StartCrash(QStringLiteral("relaunch"), QString(), QString(), work + QStringLiteral("/dumps"), 1, 2, QString());
    Ostrel_SDK::setCloudConfig(QStringLiteral("cfg-one"), QStringLiteral("cfg-two"));
    if (!waitFor(s_cloudReplies, 1, 20000, "handler-up"))
        return 3;
    if (!waitFor(s_cloudReplies, 2, 30000, "handler-back"))
        return 4;
    Ostrel_SDK::exitClient();
    return waitFor(s_exitReplies, 1, 20000) ? 0 : 5;
}
