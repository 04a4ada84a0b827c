#ifndef KIVREGWER_ELEVATION_H
#define KIVREGWER_ELEVATION_H

#include <QString>

// The option that marks the one elevated run, so that it never asks again.
inline QString elevatedOption()
{
    return QStringLiteral("--elevated");
}

// Runs this program once more with administrator rights and the arguments `--elevated <argument>`,
// waits for it and returns its exit code. -1, with a reason in `error`, when the user refused, the
// run could not be started or did not end in time. One file per platform.
int runElevated(const QString &argument, QString *error);

#ifdef Q_OS_WIN
// One argument quoted for a Windows command line, so that CommandLineToArgvW and the C runtime give
// it back unchanged (the elevated run gets its argument through such a line).
QString quotedArgument(const QString &argument);
#endif

#endif // KIVREGWER_ELEVATION_H
