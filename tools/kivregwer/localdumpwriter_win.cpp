#include "localdumpwriter.h"

#include "localdumpsettings.h"

#include <QStandardPaths>

#include <string>

#include <windows.h>

namespace {

// The key the library reads through QSettings' 64-bit system scope: HKLM\Software\<organization>.
std::wstring localDumpsKey()
{
    return (QStringLiteral("Software\\") + localDumpsOrganization()).toStdWString();
}

QString systemMessage(LONG code)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   DWORD(code), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = text ? QString::fromWCharArray(text).trimmed() : QString();
    LocalFree(text);
    return QStringLiteral("error %1%2").arg(code).arg(message.isEmpty() ? QString() : QStringLiteral(": ") + message);
}

} // namespace

// HKLM\Software\Microsoft\Windows\Windows Error Reporting\LocalDumps, 64-bit view, where WER looks.
LocalDumpWriter::LocalDumpWriter(const QString &settingsDir)
{
    Q_UNUSED(settingsDir);
}

QString LocalDumpWriter::logFolder() const
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1String("/KivRegWER");
}

// Creating (or opening for writing) the LocalDumps key needs administrator rights; an unelevated
// process of an administrator is refused here just like a standard user.
bool LocalDumpWriter::canWrite() const
{
    HKEY key = nullptr;
    const LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, localDumpsKey().c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_CREATE_SUB_KEY | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// DumpFolder as REG_EXPAND_SZ, so that WER expands %LOCALAPPDATA% and the like; the two numbers as
// REG_DWORD (a negative int keeps its bits, and reads back as the same int).
bool LocalDumpWriter::write(const QString &executableName, const QString &folder, int count, int type,
                            QString *error) const
{
    const std::wstring path = localDumpsKey() + L"\\" + executableName.toStdWString();
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) {
        const std::wstring text = folder.toStdWString();
        const DWORD dwords[2] = {DWORD(count), DWORD(type)};
        rc = RegSetValueExW(key, L"DumpFolder", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                            DWORD((text.size() + 1) * sizeof(wchar_t)));
        if (rc == ERROR_SUCCESS)
            rc = RegSetValueExW(key, L"DumpCount", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&dwords[0]), sizeof(DWORD));
        if (rc == ERROR_SUCCESS)
            rc = RegSetValueExW(key, L"DumpType", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&dwords[1]), sizeof(DWORD));
        RegCloseKey(key);
    }
    if (rc == ERROR_SUCCESS)
        return true;
    *error = QStringLiteral("cannot write the settings of %1 (%2)").arg(executableName, systemMessage(rc));
    return false;
}
