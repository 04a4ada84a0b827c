#include "handlerargs.h"

#include "wire.h"

// static
bool HandlerArgs::parse(const QStringList &arguments, HandlerArgs *args, QString *error)
{
    if (arguments.size() != 7) {
        *error = QStringLiteral("expected 7 arguments, got %1").arg(arguments.size());
        return false;
    }
    bool ok = false;
    const qint64 pid = arguments.at(0).toLongLong(&ok);
    if (!ok || pid <= 0 || arguments.at(0).trimmed() != arguments.at(0)) {
        *error = QStringLiteral("host pid is not a number: \"%1\"").arg(arguments.at(0));
        return false;
    }
    args->hostPid = pid;
    args->dumpFolder = QString(arguments.at(1)).replace(QLatin1Char('\\'), QLatin1Char('/'));
    args->appName = arguments.at(2);
    args->clientName = arguments.at(3);
    args->handlerParam1 = arguments.at(4);
    args->handlerParam2 = arguments.at(5);
    args->handlerParam3 = arguments.at(6);
    args->raw = arguments;
    return true;
}

// static
QString HandlerArgs::usage()
{
    return QLatin1String("usage: ") + QLatin1String(Wire::kHandlerProgram)
            + QLatin1String(" <host pid> <dump folder> <app name> <client name> <param1> <param2> <param3>");
}

QString HandlerArgs::serverName() const
{
    return Wire::serverName(hostPid);
}

QString HandlerArgs::fileStem() const
{
    QString name = appName.isEmpty() ? QStringLiteral("host") : appName;
    for (QChar &c : name) {
        if (!(c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('_') || c == QLatin1Char('-')))
            c = QLatin1Char('_');
    }
    return name + QLatin1Char('-') + QString::number(hostPid);
}
