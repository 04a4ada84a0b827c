#include "host/processfacts.h"

#include "host/hostprocess.h"
#include "host/localdumps.h"

#include <QFileInfo>
#include <QStringList>

#include <windows.h>
#include <tlhelp32.h>

namespace {

constexpr int kMaxThreads = 4096;

// GetThreadDescription came with Windows 10 1607: looked up, not linked.
using GetThreadDescriptionFn = HRESULT(WINAPI *)(HANDLE, PWSTR *);

GetThreadDescriptionFn threadDescriptionFunction()
{
    static const GetThreadDescriptionFn function = reinterpret_cast<GetThreadDescriptionFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    return function;
}

QString threadName(DWORD tid)
{
    const GetThreadDescriptionFn describe = threadDescriptionFunction();
    if (!describe)
        return QString();
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, tid);
    if (!thread)
        return QString();
    QString name;
    PWSTR text = nullptr;
    if (SUCCEEDED(describe(thread, &text)) && text) {
        name = QString::fromWCharArray(text);
        LocalFree(text);
    }
    CloseHandle(thread);
    return name;
}

} // namespace

void ProcessFacts::refresh()
{
    if (executable.isEmpty())
        executable = processExecutable(pid);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (qint64(entry.th32OwnerProcessID) != pid || threads.size() >= kMaxThreads)
            continue;
        // A name, once seen, is kept: the thread may be gone by the next look.
        QString &name = threads[qint64(entry.th32ThreadID)];
        if (name.isEmpty())
            name = threadName(entry.th32ThreadID);
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snapshot);
}

// Windows Error Reporting writes a dump only of an executable registered for local dumps: what is
// registered is noted, nothing is changed.
void ProcessFacts::enableDumps()
{
    if (executable.isEmpty())
        executable = processExecutable(pid);
    if (executable.isEmpty()) {
        dumpsNote = QStringLiteral("the executable of pid %1 is unknown, so are its local dumps").arg(pid);
        return;
    }
    QString name = QFileInfo(executable).fileName();
    if (name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        name.chop(4);
    const LocalDumpSettings settings = LocalDumps::ofApp(name);
    const int type = settings.dumpType;
    const int count = settings.dumpCount;
    const QString folder = settings.dumpFolder;
    dumpsEnabled = LocalDumps::registered(settings);
    if (!dumpsEnabled) {
        dumpsNote = QStringLiteral("no local dumps registered for %1.exe").arg(name);
        return;
    }
    QStringList values {folder.isEmpty() ? QStringLiteral("DumpFolder unset: %LOCALAPPDATA%\\CrashDumps")
                                         : QStringLiteral("DumpFolder \"%1\"").arg(folder)};
    if (type >= 0)
        values.append(QStringLiteral("DumpType %1").arg(type));
    if (count >= 0)
        values.append(QStringLiteral("DumpCount %1").arg(count));
    dumpsNote = QStringLiteral("Windows Error Reporting writes local dumps of %1.exe (%2)").arg(name, values.join(QStringLiteral(", ")));
}

QJsonObject ProcessFacts::toJson() const
{
    return QJsonObject {
        {QStringLiteral("pid"), double(pid)},
        {QStringLiteral("executable"), executable},
        {QStringLiteral("threadsSeen"), threadsSeen()},
        {QStringLiteral("localDumps"), QJsonObject {
            {QStringLiteral("enabled"), dumpsEnabled},
            {QStringLiteral("note"), dumpsNote},
        }},
    };
}
