#include "host/processfacts.h"

#include "host/hostprocess.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

constexpr int kMaxThreads = 4096;

QString limitText(rlim_t value)
{
    return value == RLIM_INFINITY ? QStringLiteral("unlimited") : QString::number(quint64(value));
}

} // namespace

void ProcessFacts::refresh()
{
    const QString proc = QStringLiteral("/proc/%1").arg(pid);
    if (executable.isEmpty())
        executable = processExecutable(pid);
    if (uid == uint(-1)) {
        struct stat st;
        if (::stat(QFile::encodeName(proc).constData(), &st) == 0)
            uid = st.st_uid;
    }
    const QString cwd = QFileInfo(proc + QLatin1String("/cwd")).symLinkTarget();
    if (!cwd.isEmpty())
        workingFolder = cwd;
    const QStringList tids = QDir(proc + QLatin1String("/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &tid : tids) {
        if (threads.size() >= kMaxThreads)
            break;
        QFile comm(proc + QLatin1String("/task/") + tid + QLatin1String("/comm"));
        if (comm.open(QIODevice::ReadOnly))
            threads.insert(tid.toLongLong(), QString::fromUtf8(comm.readAll()).trimmed());
    }
}

void ProcessFacts::enableDumps()
{
    struct rlimit now;
    if (::prlimit(pid_t(pid), RLIMIT_CORE, nullptr, &now) != 0) {
        dumpsNote = QStringLiteral("cannot read the core size limit: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    if (now.rlim_cur == now.rlim_max) {
        dumpsEnabled = now.rlim_cur > 0;
        coreLimit = now.rlim_cur == RLIM_INFINITY ? -1 : qint64(now.rlim_cur);
        dumpsNote = dumpsEnabled ? QStringLiteral("already at its hard limit (%1)").arg(limitText(now.rlim_cur))
                                        : QStringLiteral("cannot be raised: the hard core size limit is 0");
        return;
    }
    const struct rlimit wanted = {now.rlim_max, now.rlim_max};
    if (::prlimit(pid_t(pid), RLIMIT_CORE, &wanted, nullptr) != 0) {
        dumpsEnabled = now.rlim_cur > 0;
        coreLimit = now.rlim_cur == RLIM_INFINITY ? -1 : qint64(now.rlim_cur);
        dumpsNote = QStringLiteral("cannot be raised from %1 to %2: %3")
                                .arg(limitText(now.rlim_cur), limitText(now.rlim_max), QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    dumpsEnabled = true;
    coreLimit = now.rlim_max == RLIM_INFINITY ? -1 : qint64(now.rlim_max);
    dumpsNote = QStringLiteral("raised from %1 to %2").arg(limitText(now.rlim_cur), limitText(now.rlim_max));
}

QJsonObject ProcessFacts::toJson() const
{
    return QJsonObject {
        {QStringLiteral("pid"), double(pid)},
        {QStringLiteral("executable"), executable},
        {QStringLiteral("workingFolder"), workingFolder},
        {QStringLiteral("threadsSeen"), threadsSeen()},
        {QStringLiteral("coreLimit"), QJsonObject {
            {QStringLiteral("enabled"), dumpsEnabled},
            {QStringLiteral("limit"), coreLimit < 0 ? QJsonValue(QStringLiteral("unlimited")) : QJsonValue(double(coreLimit))},
            {QStringLiteral("note"), dumpsNote},
        }},
    };
}
