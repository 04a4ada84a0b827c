#include "storage/dumpfolder.h"

#include "storage/folderlock.h"
#include "storage/retention.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

bool taken(const QDir &dir, const QString &name)
{
    const QFileInfo file(dir.filePath(name));
    return file.exists() || file.isSymLink()
            || !dir.entryList({name.chopped(5) + QLatin1String(".*")}, QDir::Files | QDir::System | QDir::Hidden).isEmpty();
}

} // namespace

DumpFolder::DumpFolder(const HandlerArgs &args)
    : m_args(args)
    , m_folder(PrivateFiles::chooseFolder(args.dumpFolder))
{
}

bool DumpFolder::useFallback(const QString &reason)
{
    if (m_folder.isFallback()) {
        m_folder.fallbackReason += QStringLiteral("; ") + reason;
        return false;
    }
    PrivateFiles::Folder fallback;
    fallback.wanted = m_folder.wanted;
    fallback.path = PrivateFiles::fallbackFolder();
    fallback.fallbackReason = reason;
    QString error;
    if (!PrivateFiles::ensureFolder(fallback.path, &fallback.created, &fallback.mode, &error))
        fallback.fallbackReason += QStringLiteral("; the fallback folder cannot be used either (%1)").arg(error);
    m_folder = fallback;
    return true;
}

QString DumpFolder::journalPath() const
{
    return m_folder.path + QLatin1Char('/') + m_args.fileStem() + QLatin1String(".journal.jsonl");
}

QString DumpFolder::journalAsidePath(const QDateTime &lastWrite) const
{
    return m_folder.path + QLatin1Char('/') + m_args.fileStem() + QLatin1Char('-')
            + lastWrite.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmsszzz'Z'")) + QLatin1String(".journal.jsonl");
}

QString DumpFolder::subProcessDumpStem(qint64 pid, const QDateTime &when) const
{
    return m_folder.path + QLatin1Char('/') + m_args.fileStem()
            + QStringLiteral("-sub-%1-%2").arg(pid).arg(when.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")));
}

// static
QString DumpFolder::reportName(const HandlerArgs &args, const QDateTime &when)
{
    return args.fileStem() + QLatin1Char('-') + when.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"))
            + QLatin1String(".json");
}

// static
QString DumpFolder::watchLockPath(const HandlerArgs &args)
{
    return args.dumpFolder + QLatin1Char('/') + args.fileStem() + QLatin1String(".watch.lock");
}

// static
QString DumpFolder::appStem(const HandlerArgs &args)
{
    const QString stem = args.fileStem();
    return stem.left(stem.lastIndexOf(QLatin1Char('-')));
}

// static
QRegularExpression DumpFolder::reportPattern(const QString &appStem)
{
    return QRegularExpression(QStringLiteral("^%1-[0-9]+-(?:sub-[0-9]+-)?([0-9]{8}T[0-9]{6}Z)(-[0-9]+)?\\.json$")
                                      .arg(QRegularExpression::escape(appStem)));
}

// static
QStringList DumpFolder::journalPatterns(const QString &appStem, const QString &pid)
{
    const QString stem = appStem + QLatin1Char('-') + pid;
    return {stem + QLatin1String(".journal.jsonl"), stem + QLatin1String("-????????T?????????Z.journal.jsonl")};
}

// static
QRegularExpression DumpFolder::journalPattern(const QString &appStem)
{
    return QRegularExpression(QStringLiteral("^%1-([0-9]+)(-[0-9]{8}T[0-9]{9}Z)?\\.journal\\.jsonl$")
                                      .arg(QRegularExpression::escape(appStem)));
}

// static
QString DumpFolder::lateLockPath(const QString &journalPath)
{
    return journalPath + QLatin1String(".late.lock");
}

DumpFolder::Reservation DumpFolder::reserveReport(const QDateTime &hostGoneAt) const
{
    Reservation reservation;
    const QDir dir(m_folder.path);
    const QString wanted = reportName(m_args, hostGoneAt);
    FolderLock lock(m_folder.path);
    QString name = wanted;
    for (int n = 2; taken(dir, name); ++n)
        name = wanted.chopped(5) + QStringLiteral("-%1.json").arg(n);
    if (!PrivateFiles::writeAtomically(m_folder.path, name, QByteArray(), &reservation.error))
        return reservation;
    reservation.path = dir.filePath(name);
    reservation.dumpStem = reservation.path.chopped(5);
    return reservation;
}

DumpFolder::Placement DumpFolder::placeReport(const Reservation &reservation, const std::function<QByteArray()> &place,
                                              int dumpCount) const
{
    Placement placement;
    const QFileInfo report(reservation.path);
    FolderLock lock(report.absolutePath());
    if (!PrivateFiles::writeAtomically(report.absolutePath(), report.fileName(), place(), &placement.error)) {
        QFile::remove(reservation.path);
        return placement;
    }
    placement.path = reservation.path;
    placement.removed = Retention::enforce(report.absolutePath(), appStem(m_args), dumpCount);
    return placement;
}
