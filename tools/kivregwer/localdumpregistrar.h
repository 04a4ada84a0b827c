#ifndef KIVREGWER_LOCALDUMPREGISTRAR_H
#define KIVREGWER_LOCALDUMPREGISTRAR_H

#include "localdumpwriter.h"

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

    // Whether this process has the rights to write any entry (see LocalDumpWriter::canWrite).
    bool canWrite() const { return m_writer.canWrite(); }

    // Where the tool's own output goes instead of its standard streams: "KivRegWER.log" beside the
    // INI settings it writes; with the registry, in KivRegWER\ below the user's local application
    // data folder.
    QString logFilePath() const;
    // Points standard error (and, with the INI settings, standard output) at logFilePath(), so that
    // nothing reaches the streams the tool inherited from the host.
    void redirectOutputToLog() const;

private:
    LocalDumpWriter m_writer;

    Q_DISABLE_COPY(LocalDumpRegistrar)
};

#endif // KIVREGWER_LOCALDUMPREGISTRAR_H
