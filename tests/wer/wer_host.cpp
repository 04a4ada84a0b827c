// Host for the local-dump registration tests, run as a child from a folder of its own beside a
// KivRegWER.exe of the test's choice. Application name "WerHost"; local-dump settings in the user's
// config folder under its HOME. Its one argument is the scenario, a JSON array of steps run in order
// before it exits: [dumpPath, dumpCount, dumpType] calls StartCrash, and a list of
// [appName, dmpPath, dmpType, dmpCount] calls subProcessInfo.

#include <OstrelSDK/ostrelsdk.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("WerHost"));

    for (const QJsonValue &step : QJsonDocument::fromJson(QCoreApplication::arguments().value(1).toUtf8()).array()) {
        if (step[0].isString()) {
            Ostrel_SDK::StartCrash(QStringLiteral("werhost"), QString(), QString(), step[0].toString(), step[1].toInt(),
                                   step[2].toInt(), QString());
            continue;
        }
        QList<SubProcess_Info> subProcesses;
        for (const QJsonValue &s : step.toArray())
            subProcesses.append({s[0].toString(), QString(), QString(), QString(), s[1].toString(), s[2].toInt(), s[3].toInt()});
        Ostrel_SDK::subProcessInfo(subProcesses);
    }
    return 0;
}
