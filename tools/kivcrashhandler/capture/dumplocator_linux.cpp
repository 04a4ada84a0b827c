#include "capture/dumplocator.h"

#include "capture/corepattern.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>

#include <sys/stat.h>

namespace {

constexpr int kRetryMs = 50;

QString readProcFile(const char *path)
{
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()).trimmed() : QString();
}

// The newest file in the pattern's folder whose name matches and that was written since the
// process was first watched.
QString newestMatch(const CorePattern &pattern, const QDateTime &since)
{
    const QFileInfoList files = QDir(pattern.folder).entryInfoList(QDir::Files | QDir::Hidden, QDir::Time);
    for (const QFileInfo &file : files) {
        if (file.lastModified() < since.addSecs(-1))
            break;
        if (pattern.fileName.match(file.fileName()).hasMatch())
            return file.absoluteFilePath();
    }
    return QString();
}

// systemd-coredump keeps the core in its own store; coredumpctl hands out a copy.
DumpSearch fromCoredumpctl(const ProcessFacts &facts, const QString &scratchFolder, int waitMs, DumpSearch search)
{
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("coredumpctl"));
    if (tool.isEmpty()) {
        search.reason = QStringLiteral("cores go to systemd-coredump and coredumpctl is not installed");
        return search;
    }
    const QString copy = scratchFolder + QStringLiteral("/.core-%1.tmp").arg(facts.pid);
    QElapsedTimer clock;
    clock.start();
    QString last;
    do {
        QProcess dump;
        dump.start(tool, {QStringLiteral("--no-pager"), QStringLiteral("--output=") + copy, QStringLiteral("dump"),
                          QString::number(facts.pid)});
        if (dump.waitForFinished(qMax(1000, waitMs)) && dump.exitCode() == 0 && QFileInfo(copy).size() > 0) {
            search.dump.path = copy;
            search.dump.handlerCopy = true;
            return search;
        }
        dump.kill();
        dump.waitForFinished(500);
        last = QString::fromLocal8Bit(dump.readAllStandardError()).trimmed();
        QFile::remove(copy);
        QThread::msleep(200);
    } while (clock.elapsed() < waitMs);
    search.reason = QStringLiteral("systemd-coredump has no core for pid %1 (coredumpctl: %2)").arg(facts.pid).arg(last);
    return search;
}

} // namespace

DumpSearch findDump(const ProcessFacts &facts, const ProcessEnd &end, const QString &scratchFolder, int waitMs)
{
    DumpSearch search;
    search.dump.format = QStringLiteral("core");
    search.dump.extension = QStringLiteral(".core");
    const QString patternText = readProcFile("/proc/sys/kernel/core_pattern");
    const bool usesPid = readProcFile("/proc/sys/kernel/core_uses_pid") == QLatin1String("1");
    search.details.insert(QStringLiteral("corePattern"), patternText);

    CorePattern::Process process;
    process.pid = facts.pid;
    process.executable = facts.executable;
    process.workingFolder = facts.workingFolder;
    process.hostname = QSysInfo::machineHostName();
    process.uid = facts.uid;
    struct stat st;
    if (::stat(QFile::encodeName(QStringLiteral("/proc/self")).constData(), &st) == 0)
        process.gid = st.st_gid;
    process.signal = end.signal;
    process.coreLimit = facts.coreLimit;
    const CorePattern pattern = CorePattern::parse(patternText, usesPid, process);

    if (end.kind == ProcessEnd::Exited || end.kind == ProcessEnd::Killed) {
        search.reason = QStringLiteral("a process that was not ended by a crash signal leaves no core");
        return search;
    }
    // A crash whose exit status lacks the "core dumped" bit is still searched for (briefly): when a
    // secondary thread took the signal, the status a pidfd gives mostly lacks that bit even though
    // the core was written (measured on Linux 6.18). What is found is checked to be this
    // process's anyway.
    const QString noCore = QStringLiteral("the kernel wrote no core (core size limit: %1)").arg(facts.dumpsNote);
    if (pattern.pipe) {
        search.collector = pattern.collector;
        if (pattern.collector == QLatin1String("systemd-coredump"))
            return fromCoredumpctl(facts, scratchFolder, waitMs, search);
        search.reason = QStringLiteral("cores go to the collector %1, which keeps them to itself: no stack").arg(pattern.collector);
        return search;
    }
    if (!pattern.usable()) {
        search.reason = pattern.error;
        return search;
    }
    search.details.insert(QStringLiteral("folder"), pattern.folder);
    search.details.insert(QStringLiteral("fileName"), pattern.fileName.pattern());

    // Allow a slow file system a moment for the file to show.
    QElapsedTimer clock;
    clock.start();
    qint64 lastSize = -1;
    for (;;) {
        const QString path = newestMatch(pattern, facts.watchedSince);
        const qint64 size = path.isEmpty() ? -1 : QFileInfo(path).size();
        // With "core dumped" in the exit status the file is complete (the kernel writes it before
        // the process ends); otherwise it must stop growing first.
        if (!path.isEmpty() && (end.coreDumped || (size == lastSize && size > 0))) {
            search.dump.path = path;
            return search;
        }
        lastSize = size;
        if (clock.elapsed() >= waitMs)
            break;
        if (path.isEmpty() && !end.coreDumped && clock.elapsed() >= kRetryMs * 2)
            break; // nothing says a core is coming
        QThread::msleep(kRetryMs);
    }
    if (end.kind == ProcessEnd::Crashed && !end.coreDumped && lastSize < 0) {
        search.reason = noCore;
        return search;
    }
    search.reason = lastSize >= 0 ? QStringLiteral("the core in %1 kept growing for %2 ms").arg(pattern.folder).arg(waitMs)
                                  : QStringLiteral("no core in %1 matching the pattern %2").arg(pattern.folder, patternText);
    return search;
}
