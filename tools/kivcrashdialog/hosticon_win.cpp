#include "hosticon.h"

#include <QFileIconProvider>
#include <QFileInfo>

QIcon hostIcon(const QString &executable)
{
    const QFileInfo info(executable);
    if (executable.isEmpty() || !info.isFile())
        return QIcon();
    return QFileIconProvider().icon(info);
}
