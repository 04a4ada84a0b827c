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

// Organization under which the per-executable settings live (HKLM\Software\<this>\<executable>).
inline QString localDumpsOrganization()
{
    return QStringLiteral("Microsoft\\Windows\\Windows Error Reporting\\LocalDumps");
}

// Reads DumpFolder, DumpCount and DumpType of the executable file name `executableName` (for
// example "app.exe"). On Windows this is the 64-bit machine-wide registry view; elsewhere an INI
// file of the same organization and application names in the system-scope settings folder, which
// a host or a test can move with QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, …).
LocalDumpSettings readLocalDumpSettings(const QString &executableName);

#endif // OSTREL_LOCALDUMPSETTINGS_H
