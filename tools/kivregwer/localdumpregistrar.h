#ifndef KIVREGWER_LOCALDUMPREGISTRAR_H
#define KIVREGWER_LOCALDUMPREGISTRAR_H

#include <QSettings>
#include <QString>

class QJsonValue;

// Validates the WER entries of the registration tool's argument and writes each valid one into the
// local-dump settings of its executable: DumpFolder, DumpCount and DumpType under the sub-key named
// by "m_appName", in the place the library reads them from.
class LocalDumpRegistrar
{
public:
    // `settingsDir`: where the INI stand-in of the settings lives (ignored with the registry);
    // empty for the system default.
    explicit LocalDumpRegistrar(const QString &settingsDir);

    // Writes one entry. False, with a reason in `error`, when the entry is malformed or could not be
    // written; nothing is written for a malformed entry.
    bool registerEntry(const QJsonValue &entry, QString *error) const;

private:
    QSettings::Format m_format;

    Q_DISABLE_COPY(LocalDumpRegistrar)
};

#endif // KIVREGWER_LOCALDUMPREGISTRAR_H
