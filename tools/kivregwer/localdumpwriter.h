#ifndef KIVREGWER_LOCALDUMPWRITER_H
#define KIVREGWER_LOCALDUMPWRITER_H

#include <QString>

// Writes the local-dump values of one executable where the library reads them: on Windows the
// registry key HKLM\Software\Microsoft\Windows\Windows Error Reporting\LocalDumps\<executable> (64-bit
// view) with the value types WER documents; elsewhere the library's INI stand-in. One file per platform.
class LocalDumpWriter
{
public:
    // `settingsDir`: the folder of the INI stand-in (it moves the user's INI settings folder for the
    // whole process: this tool writes nothing else there); ignored with the registry.
    explicit LocalDumpWriter(const QString &settingsDir);

    // Whether this process may create and change the executables' keys at all. False means it lacks
    // the rights (on Windows: it is not elevated), not that a single write failed.
    bool canWrite() const;

    // DumpFolder, DumpCount and DumpType of `executableName`. False, with a reason in `error`, when
    // they could not be written.
    bool write(const QString &executableName, const QString &folder, int count, int type, QString *error) const;

    // Where the tool's log goes: beside the INI settings it writes; with the registry, the folder
    // KivRegWER below the user's local application data folder.
    QString logFolder() const;

private:
    Q_DISABLE_COPY(LocalDumpWriter)
};

#endif // KIVREGWER_LOCALDUMPWRITER_H
