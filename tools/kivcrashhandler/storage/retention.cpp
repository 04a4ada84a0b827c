#include "storage/retention.h"

#include "processstart.h"
#include "host/localdumps.h"
#include "storage/dumpfolder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>

namespace Retention {

namespace {

// A crash, unless the report says it ended otherwise: an unreadable report is kept like a crash.
bool isCrash(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return true;
    const QString kind = QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("crash")).toObject().value(QStringLiteral("kind")).toString();
    return kind.isEmpty() || kind == QLatin1String("crashed");
}

} // namespace

Policy readPolicy(const QString &appName)
{
    const LocalDumpSettings settings = LocalDumps::ofApp(appName);
    return Policy {settings.dumpCount, settings.dumpType};
}

QStringList reportsOf(const QString &folder, const QString &appStem)
{
    const QRegularExpression pattern = DumpFolder::reportPattern(appStem);
    struct Entry
    {
        QString stamp;
        qint64 mtime;
        int suffix; // "-2" of a second report with the same name; 1 for none
        QString name;
    };
    QList<Entry> entries;
    for (const QFileInfo &info : QDir(folder).entryInfoList(QDir::Files | QDir::System | QDir::Hidden)) {
        const QRegularExpressionMatch match = pattern.match(info.fileName());
        if (match.hasMatch())
            entries.append({match.captured(1), info.lastModified().toMSecsSinceEpoch(), qMax(1, match.captured(2).mid(1).toInt()), info.fileName()});
    }
    // Written within one clock tick (or on a file system with coarse times), "-2" still comes after
    // the report whose name it had to avoid.
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        if (a.stamp != b.stamp)
            return a.stamp < b.stamp;
        if (a.mtime != b.mtime)
            return a.mtime < b.mtime;
        return a.suffix != b.suffix ? a.suffix < b.suffix : a.name < b.name;
    });
    QStringList names;
    for (const Entry &e : entries)
        names.append(e.name);
    return names;
}

QStringList enforce(const QString &folder, const QString &appStem, int dumpCount)
{
    QStringList removed;
    if (dumpCount <= 0)
        return removed;
    const QStringList reports = reportsOf(folder, appStem);
    const QDir dir(folder);
    QStringList crashes;
    QStringList others;
    for (const QString &report : reports)
        (isCrash(dir.filePath(report)) ? crashes : others).append(report);
    // The oldest beyond each budget go, in the order they were written.
    const QStringList dropped = crashes.mid(0, qMax(0, crashes.size() - dumpCount))
            + others.mid(0, qMax(0, others.size() - qMin(dumpCount, kOtherEndsKept)));
    QStringList drops;
    QStringList kept;
    for (const QString &report : reports)
        (dropped.contains(report) ? drops : kept).append(report);
    const auto pidOf = [&appStem](const QString &report) { return report.mid(appStem.size() + 1).section(QLatin1Char('-'), 0, 0); };
    QStringList keptPids;
    for (const QString &report : qAsConst(kept))
        keptPids.append(pidOf(report));
    for (const QString &report : qAsConst(drops)) {
        QStringList patterns {report.chopped(4) + QLatin1Char('*')}; // the report and "<report>.*"
        // Its host's journal goes with the last report of that pid, once no process has the pid
        // (a journal in use by a live host of the same pid is never touched).
        const QString pid = pidOf(report);
        if (!keptPids.contains(pid) && processStart(pid.toLongLong()).state == ProcessStart::NotRunning) {
            patterns << DumpFolder::journalPatterns(appStem, pid);
            keptPids.append(pid); // once
        }
        for (const QString &name : dir.entryList(patterns, QDir::Files | QDir::System | QDir::Hidden)) {
            if (QFile::remove(dir.filePath(name)))
                removed.append(name);
        }
    }
    return removed;
}

} // namespace Retention
