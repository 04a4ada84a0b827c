#include "localdumpwriter.h"

#include "crashmanage/localdumpsettings.h"

#include <QSettings>

// No rights to ask for here: an unwritable folder shows up as a failed write.
bool LocalDumpWriter::canWrite() const
{
    return true;
}

bool LocalDumpWriter::write(const QString &executableName, const QString &folder, int count, int type,
                            QString *error) const
{
    // The user's own settings folder (LocalDumpRegistrar may have moved it).
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
