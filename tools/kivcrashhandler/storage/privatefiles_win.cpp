#include "storage/privatefiles.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

// Windows has no modes: what the handler creates gets a protected DACL with a single entry, full
// access for the user of the process token (nothing inherited from the folder above), and a file
// is opened with FILE_FLAG_OPEN_REPARSE_POINT so that a link planted under its name is opened as
// itself and refused. The dump folder itself may be a link, as on Unix.
namespace PrivateFiles {

namespace {

QString systemError(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD size = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString result = size > 0 ? QString::fromWCharArray(text, int(size)).trimmed() : QString();
    LocalFree(text);
    return result.isEmpty() ? QStringLiteral("error %1").arg(error) : result;
}

std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// The token's user, and the owner the token gives to what it creates (the user, or Administrators
// for an elevated administrator).
class Token
{
public:
    Token()
    {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return;
        m_user = read(token, TokenUser);
        m_owner = read(token, TokenOwner);
        CloseHandle(token);
    }
    PSID user() const { return m_user.isEmpty() ? nullptr : reinterpret_cast<const TOKEN_USER *>(m_user.constData())->User.Sid; }
    bool owns(PSID owner) const
    {
        return owner && ((user() && EqualSid(owner, user()))
                         || (!m_owner.isEmpty() && EqualSid(owner, reinterpret_cast<const TOKEN_OWNER *>(m_owner.constData())->Owner)));
    }

private:
    static QByteArray read(HANDLE token, TOKEN_INFORMATION_CLASS what)
    {
        DWORD size = 0;
        GetTokenInformation(token, what, nullptr, 0, &size);
        QByteArray buffer(int(size), '\0');
        if (size == 0 || !GetTokenInformation(token, what, buffer.data(), size, &size))
            return QByteArray();
        return buffer;
    }
    QByteArray m_user;
    QByteArray m_owner;
};

// Security attributes that give this user alone full access; for a folder the entry is inherited
// by what is created inside it.
class UserOnly
{
public:
    explicit UserOnly(bool folder)
    {
        const PSID sid = m_token.user();
        if (!sid)
            return;
        const DWORD size = DWORD(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
        m_acl.fill('\0', int(size));
        auto *acl = reinterpret_cast<PACL>(m_acl.data());
        const DWORD inherit = folder ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
        if (!InitializeAcl(acl, size, ACL_REVISION) || !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, sid)
            || !InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION)
            || !SetSecurityDescriptorDacl(&m_descriptor, TRUE, acl, FALSE)
            || !SetSecurityDescriptorControl(&m_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
            return;
        m_attributes.nLength = sizeof(m_attributes);
        m_attributes.lpSecurityDescriptor = &m_descriptor;
        m_attributes.bInheritHandle = FALSE;
        m_ok = true;
    }
    SECURITY_ATTRIBUTES *attributes() { return m_ok ? &m_attributes : nullptr; }
    PACL acl() { return m_ok ? reinterpret_cast<PACL>(m_acl.data()) : nullptr; }
    const Token &token() const { return m_token; }

private:
    Token m_token;
    QByteArray m_acl;
    SECURITY_DESCRIPTOR m_descriptor;
    SECURITY_ATTRIBUTES m_attributes;
    bool m_ok = false;

    Q_DISABLE_COPY(UserOnly)
};

// 0700 when only this user, SYSTEM and Administrators are let in, 0777 when anyone else is, -1 when
// the DACL cannot be read.
int modeOfFolder(const QString &path)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring name = native(path);
    if (GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor) != ERROR_SUCCESS)
        return -1;
    const Token token;
    bool open = !dacl; // a null DACL lets everyone in
    for (DWORD i = 0; dacl && !open && i < dacl->AceCount; ++i) {
        void *ace = nullptr;
        if (!GetAce(dacl, i, &ace) || static_cast<ACE_HEADER *>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        const PSID sid = &static_cast<ACCESS_ALLOWED_ACE *>(ace)->SidStart;
        open = !token.owns(sid) && !IsWellKnownSid(sid, WinLocalSystemSid) && !IsWellKnownSid(sid, WinBuiltinAdministratorsSid)
                && !IsWellKnownSid(sid, WinCreatorOwnerSid);
    }
    LocalFree(descriptor);
    return open ? 0777 : 0700;
}

// Checks what CreateFileW returned: a plain disk file, not a link, of this user; a file that
// already existed is made private. Returns a C runtime descriptor or -1.
int checked(HANDLE file, bool existed, UserOnly *userOnly, const QString &path, int flags, QString *error)
{
    if (file == INVALID_HANDLE_VALUE) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, systemError(GetLastError()));
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    QString why;
    if (!GetFileInformationByHandle(file, &info))
        why = systemError(GetLastError());
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        why = QStringLiteral("a link (reparse point)");
    else if (GetFileType(file) != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        why = QStringLiteral("not a regular file");
    else if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        why = QStringLiteral("its owner cannot be read");
    else if (!userOnly->token().owns(owner))
        why = QStringLiteral("owned by another user");
    else if (existed && SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, userOnly->acl(), nullptr) != ERROR_SUCCESS)
        why = QStringLiteral("cannot make it private");
    LocalFree(descriptor);
    if (why.isEmpty()) {
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags);
        if (fd >= 0)
            return fd;
        why = QStringLiteral("no descriptor for it");
    }
    CloseHandle(file);
    *error = QStringLiteral("%1: %2").arg(path, why);
    return -1;
}

} // namespace

// %LOCALAPPDATA%, where the library keeps its client info folder too.
QString fallbackFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1String("/OstrelSDK/reports");
}

bool ensureFolder(const QString &path, bool *created, int *mode, QString *error)
{
    *created = false;
    if (path.isEmpty()) {
        *error = QStringLiteral("no dump folder given");
        return false;
    }
    const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    DWORD attributes = GetFileAttributesW(native(clean).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD reachError = GetLastError();
        if (reachError != ERROR_FILE_NOT_FOUND && reachError != ERROR_PATH_NOT_FOUND) {
            *error = QStringLiteral("cannot reach %1: %2").arg(clean, systemError(reachError));
            return false;
        }
        // Every folder made here is the handler's own, so each one is private. The drive (or a
        // share's server and name) is never made.
        UserOnly userOnly(true);
        const QStringList parts = clean.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        const bool share = clean.startsWith(QLatin1String("//"));
        const int fixed = share ? 2 : 1;
        QString at = share ? QStringLiteral("/") : QString();
        for (int i = 0; i < parts.size(); ++i) {
            at = i == 0 && !share ? parts.at(i) : at + QLatin1Char('/') + parts.at(i);
            if (i < fixed)
                continue;
            if (CreateDirectoryW(native(at).c_str(), userOnly.attributes())) {
                *created = true;
            } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
                *error = QStringLiteral("cannot create %1: %2").arg(at, systemError(GetLastError()));
                return false;
            }
        }
        attributes = GetFileAttributesW(native(clean).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            *error = QStringLiteral("cannot reach %1: %2").arg(clean, systemError(GetLastError()));
            return false;
        }
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *error = QStringLiteral("%1 is not a folder").arg(clean);
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        *error = QStringLiteral("%1 is not writable: it is read-only").arg(clean);
        return false;
    }
    *mode = *created ? 0700 : modeOfFolder(clean);
    return true;
}

int openForAppend(const QString &path, QString *error)
{
    UserOnly userOnly(false);
    const HANDLE file = CreateFileW(native(path).c_str(), GENERIC_WRITE | READ_CONTROL | WRITE_DAC,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, userOnly.attributes(),
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const bool existed = file != INVALID_HANDLE_VALUE && GetLastError() == ERROR_ALREADY_EXISTS;
    return checked(file, existed, &userOnly, path, _O_WRONLY | _O_APPEND | _O_BINARY, error);
}

int openForReading(const QString &path, QString *error)
{
    UserOnly userOnly(false);
    const HANDLE file = CreateFileW(native(path).c_str(), GENERIC_READ | READ_CONTROL,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return checked(file, false, &userOnly, path, _O_RDONLY | _O_BINARY, error);
}

bool writeAtomically(const QString &folder, const QString &name, const QByteArray &data, QString *error)
{
    UserOnly userOnly(false);
    QString temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temp = folder + QLatin1String("/.") + name + QLatin1Char('.')
                + QString::number(QRandomGenerator::global()->generate(), 36);
        // CREATE_NEW: never an existing name or link.
        file = CreateFileW(native(temp).c_str(), GENERIC_WRITE, 0, userOnly.attributes(), CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        *error = QStringLiteral("cannot create a file in %1: %2").arg(folder, systemError(GetLastError()));
        return false;
    }
    qint64 done = 0;
    DWORD written = 0;
    while (done < data.size()
           && WriteFile(file, data.constData() + done, DWORD(qMin<qint64>(data.size() - done, 1 << 20)), &written, nullptr)
           && written > 0)
        done += written;
    DWORD failure = done == data.size() ? ERROR_SUCCESS : GetLastError();
    if (failure == ERROR_SUCCESS && !FlushFileBuffers(file))
        failure = GetLastError();
    CloseHandle(file);
    const QString target = folder + QLatin1Char('/') + name;
    // A link at the name is replaced, not followed.
    if (failure == ERROR_SUCCESS
        && !MoveFileExW(native(temp).c_str(), native(target).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        failure = GetLastError();
    if (failure != ERROR_SUCCESS) {
        *error = QStringLiteral("cannot write %1: %2").arg(target, systemError(failure));
        DeleteFileW(native(temp).c_str());
        return false;
    }
    return true;
}

} // namespace PrivateFiles
