// ostrel-consumer <dump folder> <stop file> [--no-exit]
// Starts crash reporting, reports a user, and runs until the stop file appears; then tells the
// crash handler it exits, or, with --no-exit, ends without telling it (as a crash would).
#include <OstrelSDK/ostrelsdk.h>

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString stopFile = app.arguments().value(2);
    const bool tellExit = app.arguments().value(3) != QLatin1String("--no-exit");

    std::printf("version %s\n", qPrintable(Ostrel_SDK::getOstrelVersion()));
    const bool started = Ostrel_SDK::StartCrash(QStringLiteral("consumer"), QStringLiteral("p1"), QString(),
                                                app.arguments().value(1), 5, 2, QStringLiteral("p3"));
    std::printf("StartCrash %s\n", started ? "true" : "false");
    std::fflush(stdout);
    Ostrel_SDK::setUserInfo(QStringLiteral("u1"), QString());

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&stopFile, tellExit] {
        if (QFile::exists(stopFile)) {
            if (tellExit)
                Ostrel_SDK::exitClient();
            QCoreApplication::quit();
        }
    });
    poll.start(50);
    return app.exec();
}
