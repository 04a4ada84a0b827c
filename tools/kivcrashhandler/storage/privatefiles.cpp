#include "storage/privatefiles.h"

#include <QDir>
#include <QFileInfo>

namespace PrivateFiles {

namespace {

QString octal(int mode)
{
    return QStringLiteral("0%1").arg(mode & 07777, 3, 8, QLatin1Char('0'));
}

} // namespace

QJsonObject Folder::toJson() const
{
    QJsonObject o {
        {QStringLiteral("wanted"), wanted},
        {QStringLiteral("path"), path},
        {QStringLiteral("created"), created},
        {QStringLiteral("mode"), mode < 0 ? QString() : octal(mode)},
        {QStringLiteral("private"), mode >= 0 && (mode & 077) == 0},
    };
    QString note;
    if (isFallback())
        note = QStringLiteral("the dump folder cannot be used (%1); this per-user folder was used instead").arg(fallbackReason);
    else if (mode >= 0 && (mode & 077) != 0)
        note = QStringLiteral("the dump folder existed with mode %1, open to other users; it was used as it is").arg(octal(mode));
    if (!note.isEmpty())
        o.insert(QStringLiteral("note"), note);
    return o;
}

Folder chooseFolder(const QString &wanted)
{
    Folder folder;
    folder.wanted = wanted;
    QString error;
    if (ensureFolder(wanted, &folder.created, &folder.mode, &error)) {
        folder.path = QDir::cleanPath(QFileInfo(wanted).absoluteFilePath());
        return folder;
    }
    folder.fallbackReason = error;
    folder.path = fallbackFolder();
    QString fallbackError;
    if (!ensureFolder(folder.path, &folder.created, &folder.mode, &fallbackError))
        folder.fallbackReason += QStringLiteral("; the fallback folder cannot be used either (%1)").arg(fallbackError);
    return folder;
}

} // namespace PrivateFiles
