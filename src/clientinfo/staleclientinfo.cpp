#include "clientinfo/staleclientinfo.h"

#include "processstart.h"
#include "wire.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

QStringList removeStaleClientInfoFiles(const QString &folder, qint64 ownPid)
{
    static const QRegularExpression pattern(QStringLiteral("^KivClientInfo_.*_([1-9][0-9]{0,9})\\.xml$"));
    QStringList removed;
    const QFileInfoList entries = QDir(folder).entryInfoList({QStringLiteral("KivClientInfo_*.xml")},
                                                              QDir::Files | QDir::System | QDir::Hidden);
    for (const QFileInfo &entry : entries) {
        const QRegularExpressionMatch match = pattern.match(entry.fileName());
        if (!match.hasMatch() || entry.isSymLink() || !entry.isFile())
            continue;
        const qint64 pid = match.captured(1).toLongLong();
        if (pid == ownPid || localServerPresent(Wire::serverName(pid)))
            continue;
        const ProcessStart process = processStart(pid);
        const bool stale = process.state == ProcessStart::NotRunning
                || (process.state == ProcessStart::Running
                    && entry.lastModified().toMSecsSinceEpoch() < process.startMsecs - kProcessStartSlackMs);
        if (stale && QFile::remove(entry.filePath()))
            removed.append(entry.filePath());
    }
    return removed;
}
