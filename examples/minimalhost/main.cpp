// The smallest host: starts crash reporting, reports a user, runs its event loop for two seconds,
// says goodbye and exits.
#include <OstrelSDK/ostrelsdk.h>

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ostrel-minimal-host"));

    Ostrel_SDK::StartCrash(QStringLiteral("minimal"), QString(), QString(),
                           QDir::tempPath() + QStringLiteral("/ostrel-dumps"), 10, 2, QString());
    Ostrel_SDK::setUserInfo(QStringLiteral("user-1"), QString());

    QTimer::singleShot(2000, &app, [] {
        Ostrel_SDK::exitClient();
        QCoreApplication::quit();
    });
    return app.exec();
}
