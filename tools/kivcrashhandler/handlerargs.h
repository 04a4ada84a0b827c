#ifndef KIVCRASHHANDLER_HANDLERARGS_H
#define KIVCRASHHANDLER_HANDLERARGS_H

#include <QString>
#include <QStringList>

// The command line the library launches the handler with: exactly seven arguments.
struct HandlerArgs
{
    qint64 hostPid = 0;
    QString dumpFolder; // with "/" separators (the library sends backslashes)
    QString appName;
    QString clientName;
    QString handlerParam1;
    QString handlerParam2;
    QString handlerParam3;
    QStringList raw;    // the seven arguments as received

    // Parses the arguments after the program name. False (and *error set) unless there are exactly
    // seven and the first is a process id.
    static bool parse(const QStringList &arguments, HandlerArgs *args, QString *error);
    static QString usage();

    QString serverName() const;
    // "<appName>-<pid>", made safe as a file name: the stem of the journal and report files.
    QString fileStem() const;
};

#endif // KIVCRASHHANDLER_HANDLERARGS_H
