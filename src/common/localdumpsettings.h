#ifndef OSTREL_LOCALDUMPSETTINGS_H
#define OSTREL_LOCALDUMPSETTINGS_H

#include <QString>

// The OS's local crash dump settings of one executable (Windows Error Reporting "LocalDumps"),
// read only. Absent values read as an empty folder and -1.
struct LocalDumpSettings
{
    QString dumpFolder;
    int dumpCount = -1;
    int dumpType = -1;
};

// Organization under which the per-executable settings live. On Windows the registry key
// HKLM\Software\<this>\<executable>; elsewhere the same names as nested folders of an INI settings
// folder (there a backslash would be part of one folder's name). Per platform, like the reader.
QString localDumpsOrganization();

// Reads DumpFolder, DumpCount and DumpType of the executable file name `executableName` (for
// example "app.exe"). On Windows this is the 64-bit machine-wide registry view. Elsewhere it is the
// INI file "<organization>/<executable>.ini" in the user's settings folder (the XDG config home,
// which an ordinary user can write) and, when that file holds none of the values, the same file in
// the system-wide settings folder. QSettings::setPath(QSettings::IniFormat, <scope>, …) moves either;
// `userFolder`, when given, stands for the user's settings folder in this one read (the registry has
// no such folder and ignores it).
LocalDumpSettings readLocalDumpSettings(const QString &executableName, const QString &userFolder = QString());

#endif // OSTREL_LOCALDUMPSETTINGS_H
