#include "capture/dumplocator.h"

#include "host/localdumps.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <windows.h>

// Windows: the dump Windows Error Reporting writes for an executable registered for local dumps:
// "<exe>.<pid>.dmp" in its DumpFolder.
namespace {

constexpr int kRetryMs = 25;

QString expanded(const QString &text)
{
    const std::wstring in = text.toStdWString();
    const DWORD size = ExpandEnvironmentStringsW(in.c_str(), nullptr, 0);
    if (size == 0)
        return text;
    std::wstring out(size, L'\0');
    const DWORD written = ExpandEnvironmentStringsW(in.c_str(), &out[0], size);
    return written == 0 || written > size ? text : QString::fromStdWString(out.substr(0, written - 1));
}

// Complete once its writer has closed it: opening it without sharing write access then succeeds.
bool closedByWriter(const QString &path)
{
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), GENERIC_READ,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

} // namespace

DumpSearch findDump(const ProcessFacts &facts, const ProcessEnd &end, const QString &scratchFolder, int waitMs)
{
    Q_UNUSED(scratchFolder);
    DumpSearch search;
    search.dump.format = QStringLiteral("minidump");
    search.dump.extension = QStringLiteral(".dmp");
    search.details.insert(QStringLiteral("format"), QStringLiteral("minidump"));
    if (end.kind == ProcessEnd::Exited || end.kind == ProcessEnd::Killed) {
        search.reason = QStringLiteral("a process that did not end by an unhandled exception leaves no dump");
        return search;
    }
    if (facts.executable.isEmpty()) {
        search.reason = QStringLiteral("the executable of pid %1 is unknown, so is where its dump would go").arg(facts.pid);
        return search;
    }
    const QString exe = QFileInfo(facts.executable).fileName();
    QString name = exe;
    if (name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        name.chop(4);
    const LocalDumpSettings settings = LocalDumps::ofApp(name);
    const QString registeredFolder = settings.dumpFolder;
    if (!LocalDumps::registered(settings)) {
        search.reason = QStringLiteral("no local dumps registered for %1").arg(exe);
        return search;
    }
    // WER's own default when no DumpFolder is registered.
    const QString folder = QDir::cleanPath(QDir::fromNativeSeparators(
            expanded(registeredFolder.isEmpty() ? QStringLiteral("%LOCALAPPDATA%\\CrashDumps") : registeredFolder)));
    const QString fileName = QStringLiteral("%1.%2.dmp").arg(exe).arg(facts.pid);
    const QString path = folder + QLatin1Char('/') + fileName;
    search.details.insert(QStringLiteral("folder"), QDir::toNativeSeparators(folder));
    search.details.insert(QStringLiteral("fileName"), fileName);

    QElapsedTimer clock;
    clock.start();
    qint64 lastSize = -1;
    for (;;) {
        const QFileInfo file(path);
        const qint64 size = file.exists() ? file.size() : -1;
        if (size > 0 && size == lastSize && closedByWriter(path)) {
            // A dump of an earlier process that had the same pid is not this one's.
            if (facts.watchedSince.isValid() && file.lastModified() < facts.watchedSince.addSecs(-1)) {
                search.reason = QStringLiteral("the dump %1 was written before pid %2 was watched").arg(QDir::toNativeSeparators(path)).arg(facts.pid);
                return search;
            }
            search.dump.path = path;
            return search;
        }
        lastSize = size;
        if (clock.elapsed() >= waitMs)
            break;
        QThread::msleep(kRetryMs);
    }
    search.reason = lastSize >= 0
            ? QStringLiteral("the dump %1 was still being written after %2 ms").arg(QDir::toNativeSeparators(path)).arg(waitMs)
            : QStringLiteral("no dump written within %1 ms in %2").arg(waitMs).arg(QDir::toNativeSeparators(folder));
    return search;
}
