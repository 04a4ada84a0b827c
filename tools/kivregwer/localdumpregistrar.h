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
    // `settingsDir`: the folder of the INI stand-in of the settings (ignored with the registry);
    // empty for the user's settings folder.
    explicit LocalDumpRegistrar(const QString &settingsDir);

    // Writes one entry. False, with a reason in `error`, when the entry is malformed or could not be
    // written; nothing is written for a malformed entry.
    bool registerEntry(const QJsonValue &entry, QString *error) const;

    // Where the tool's own output goes instead of its standard streams: "KivRegWER.log" beside the
    // INI settings it writes. Empty with the registry (the output stays on standard error there).
    QString logFilePath() const;
    // Points standard output and error at logFilePath(), so that nothing reaches the streams the
    // tool inherited from the host. Does nothing with the registry.
    void redirectOutputToLog() const;

private:
    QSettings::Format m_format;
    QSettings::Scope m_scope;

    Q_DISABLE_COPY(LocalDumpRegistrar)
};

#endif // KIVREGWER_LOCALDUMPREGISTRAR_H
