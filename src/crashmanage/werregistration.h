#ifndef OSTREL_WERREGISTRATION_H
#define OSTREL_WERREGISTRATION_H

class QJsonArray;
class QString;

// True when the executable's local-dump settings already hold the wanted folder, count and type:
// the folder non-empty and equal character for character (no folding of case or separators), count
// and type 0 or more and equal.
bool isLocalDumpRegistered(const QString &executableName, const QString &dmpPath, int dumpCount, int dumpType);

// Appends one WER entry {"m_appName", "m_dmpPath", "m_count", "m_type"} to `entries`.
void appendWerEntry(QJsonArray &entries, const QString &executableName, const QString &dmpPath,
                    int dumpCount, int dumpType);

// Starts the registration tool KivRegWER.exe from the application directory, detached, with one
// argument: the entries as a compact JSON array. Logs "jsonArr is empty" and starts nothing when
// there is nothing to register.
void checkCrashDmpWER(const QJsonArray &jsonArr);

#endif // OSTREL_WERREGISTRATION_H
