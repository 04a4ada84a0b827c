#ifndef OSTRELREPORT_MODULEIDS_H
#define OSTRELREPORT_MODULEIDS_H

#include <QString>

// What a binary or debug file says about itself: the ids a report's module is matched by, so that
// a frame is never named from another build's file.
struct FileIds
{
    QString format;       // "elf", "pe", or "" when it is neither
    QString buildId;      // ELF: the GNU build id in hex
    QString debugId;      // PE: the CodeView GUID and age, "<guid>-<age>"
    QString codeViewId;   // PE: the same as the handler's older "buildId" writes it (GUID and age, upper case)
    quint64 loadBase = 0; // ELF: the page of the lowest address it loads at, which a module offset counts from
    QString error;        // why it could not be read
};

FileIds readFileIds(const QString &path);

// One file per platform: ELF files through elfutils where they are at home; the headers are read,
// nothing else.
bool readElfIds(const QString &path, FileIds *ids);

#endif // OSTRELREPORT_MODULEIDS_H
