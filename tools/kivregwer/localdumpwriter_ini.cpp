#include "localdumpwriter.h"

#include "localdumpsettings.h"

#include <QFileInfo>
#include <QSettings>

// The user's own settings folder: an ordinary user can write it, and the library reads it first.
LocalDumpWriter::LocalDumpWriter(const QString &settingsDir)
{
    if (!settingsDir.isEmpty())
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir);
}

QString LocalDumpWriter::logFolder() const
{
    const QSettings probe(QSettings::IniFormat, QSettings::UserScope, localDumpsOrganization(), QStringLiteral("KivRegWER"));
    return QFileInfo(probe.fileName()).absolutePath();
}

// No rights to ask for here: an unwritable folder shows up as a failed write.
bool LocalDumpWriter::canWrite() const
{
    return true;
}

bool LocalDumpWriter::write(const QString &executableName, const QString &folder, int count, int type,
                            QString *error) const
{
    // The user's own settings folder (the constructor may have moved it).
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, localDumpsOrganization(), executableName);
    settings.setValue(QStringLiteral("DumpFolder"), folder);
    settings.setValue(QStringLiteral("DumpCount"), count);
    settings.setValue(QStringLiteral("DumpType"), type);
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return true;
    *error = QStringLiteral("cannot write the settings of %1 (%2)")
                     .arg(executableName, settings.status() == QSettings::AccessError ? QStringLiteral("access error")
                                                                                        : QStringLiteral("format error"));
    return false;
}
