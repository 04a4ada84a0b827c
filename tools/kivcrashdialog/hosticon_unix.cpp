#include "hosticon.h"

#include <QFileInfo>

QIcon hostIcon(const QString &executable)
{
    const QString name = QFileInfo(executable).completeBaseName();
    if (name.isEmpty() || !QIcon::hasThemeIcon(name))
        return QIcon();
    return QIcon::fromTheme(name);
}
