#include "elevation.h"

// Where the settings are an INI file there are no rights to ask for.
int runElevated(const QString &argument, QString *error)
{
    Q_UNUSED(argument);
    *error = QStringLiteral("no way to ask for administrator rights on this system");
    return -1;
}
