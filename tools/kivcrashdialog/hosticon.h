#ifndef KIVCRASHDIALOG_HOSTICON_H
#define KIVCRASHDIALOG_HOSTICON_H

#include <QIcon>
#include <QString>

// The crashed application's own icon, or a null icon when it has none. One file per platform:
//   Windows  the icon resource of the executable (QFileIconProvider)
//   Unix     the icon theme's entry named after the executable, where the application installed one
//            (executables carry no icon there, and a generic file icon would say nothing)
QIcon hostIcon(const QString &executable);

#endif // KIVCRASHDIALOG_HOSTICON_H
