// A host application for the local-dump registration tests, run as a child process from a folder of
// its own (next to a KivRegWER.exe of the test's choice). Its one argument describes what it calls:
//   {"before": [<sub-process>...], "starts": [[dumpPath, dumpCount, dumpType]...], "after": [<sub-process>...]}
// with <sub-process> = {"appName", "dmpPath", "role", "version", "dmpType", "dmpCount"}:
// subProcessInfo(before), each StartCrash in order, subProcessInfo(after), then it exits at once.
// Application name "WerHost"; local-dump settings in $OSTREL_WER_SETTINGS_DIR. Every log line goes
// to stderr as "<type letter> <text>".

#include <OstrelSDK/ostrelsdk.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSettings>

#include <cstdio>

namespace {

void printMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    const char letter = type == QtCriticalMsg ? 'C' : type == QtInfoMsg ? 'I' : type == QtWarningMsg ? 'W' : 'D';
    std::fprintf(stderr, "%c %s\n", letter, text.toUtf8().constData());
    std::fflush(stderr);
}

QList<SubProcess_Info> subProcesses(const QJsonArray &array)
{
    QList<SubProcess_Info> list;
    for (const QJsonValue &value : array) {
        const QJsonObject o = value.toObject();
        SubProcess_Info info;
        info.appName = o.value(QLatin1String("appName")).toString();
        info.dmpPath = o.value(QLatin1String("dmpPath")).toString();
        info.role = o.value(QLatin1String("role")).toString();
        info.version = o.value(QLatin1String("version")).toString();
        info.dmpType = o.value(QLatin1String("dmpType")).toInt();
        info.dmpCount = o.value(QLatin1String("dmpCount")).toInt();
        list.append(info);
    }
    return list;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("WerHost"));
    QLoggingCategory::setFilterRules(QStringLiteral("default.info=true\ndefault.debug=true"));
    qInstallMessageHandler(printMessage);

    const QString settingsDir = qEnvironmentVariable("OSTREL_WER_SETTINGS_DIR");
    if (!settingsDir.isEmpty())
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, settingsDir);

    const QJsonObject spec = QJsonDocument::fromJson(QCoreApplication::arguments().value(1).toUtf8()).object();
    if (spec.contains(QLatin1String("before")))
        Ostrel_SDK::subProcessInfo(subProcesses(spec.value(QLatin1String("before")).toArray()));
    for (const QJsonValue &start : spec.value(QLatin1String("starts")).toArray()) {
        const QJsonArray a = start.toArray();
        Ostrel_SDK::StartCrash(QStringLiteral("werhost"), QString(), QString(), a.at(0).toString(),
                               a.at(1).toInt(), a.at(2).toInt(), QString());
    }
    if (spec.contains(QLatin1String("after")))
        Ostrel_SDK::subProcessInfo(subProcesses(spec.value(QLatin1String("after")).toArray()));
    return 0;
}
