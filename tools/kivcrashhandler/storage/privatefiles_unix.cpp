#include "storage/privatefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PrivateFiles {

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Checks what open() returned: a regular file of our own user, made 0600.
int checked(int fd, const QString &path, QString *error)
{
    if (fd < 0) {
        *error = errno == ELOOP ? QStringLiteral("%1 is a symbolic link").arg(path)
                                : QStringLiteral("cannot open %1: %2").arg(path, systemError(errno));
        return -1;
    }
    struct stat st;
    QString why;
    if (::fstat(fd, &st) != 0)
        why = systemError(errno);
    else if (!S_ISREG(st.st_mode))
        why = QStringLiteral("not a regular file");
    else if (st.st_uid != ::geteuid())
        why = QStringLiteral("owned by uid %1, not by this user").arg(st.st_uid);
    else if ((st.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) != 0)
        why = QStringLiteral("cannot make it private: %1").arg(systemError(errno));
    if (why.isEmpty())
        return fd;
    ::close(fd);
    *error = QStringLiteral("%1: %2").arg(path, why);
    return -1;
}

} // namespace

QString fallbackFolder()
{
    QString state = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QLatin1String("/.local/state");
    return state + QLatin1String("/OstrelSDK/reports");
}

bool ensureFolder(const QString &path, bool *created, int *mode, QString *error)
{
    *created = false;
    if (path.isEmpty()) {
        *error = QStringLiteral("no dump folder given");
        return false;
    }
    // A relative folder is the host's choice relative to its working folder, which the handler shares.
    const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    struct stat st;
    if (::stat(QFile::encodeName(clean).constData(), &st) != 0) {
        if (errno != ENOENT) {
            *error = QStringLiteral("cannot reach %1: %2").arg(clean, systemError(errno));
            return false;
        }
        // Every folder made here is the handler's own, so each one is 0700.
        const QStringList parts = clean.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        QString at;
        for (const QString &part : parts) {
            at += QLatin1Char('/') + part;
            const QByteArray native = QFile::encodeName(at);
            if (::mkdir(native.constData(), 0700) == 0) {
                ::chmod(native.constData(), 0700); // the umask may have taken more
                *created = true;
            } else if (errno != EEXIST) {
                *error = QStringLiteral("cannot create %1: %2").arg(at, systemError(errno));
                return false;
            }
        }
        if (::stat(QFile::encodeName(clean).constData(), &st) != 0) {
            *error = QStringLiteral("cannot reach %1: %2").arg(clean, systemError(errno));
            return false;
        }
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = QStringLiteral("%1 is not a folder").arg(clean);
        return false;
    }
    if (::access(QFile::encodeName(clean).constData(), W_OK | X_OK) != 0) {
        *error = QStringLiteral("%1 is not writable: %2").arg(clean, systemError(errno));
        return false;
    }
    *mode = int(st.st_mode & 07777);
    return true;
}

int openForAppend(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    const int result = checked(fd, path, error);
    if (result >= 0)
        ::fcntl(result, F_SETFL, O_WRONLY | O_APPEND); // O_NONBLOCK only kept a planted FIFO from blocking the open
    return result;
}

int openForReading(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    return checked(fd, path, error);
}

bool writeAtomically(const QString &folder, const QString &name, const QByteArray &data, QString *error)
{
    QByteArray temp = QFile::encodeName(folder + QLatin1String("/.") + name + QLatin1String(".XXXXXX"));
    // mkostemp creates a new file (O_EXCL: never an existing name or link), 0600.
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("cannot create a file in %1: %2").arg(folder, systemError(errno));
        return false;
    }
    ::fchmod(fd, 0600);
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    const int writeErrno = errno;
    const bool ok = done == data.size() && ::fsync(fd) == 0;
    ::close(fd);
    const QByteArray target = QFile::encodeName(folder + QLatin1Char('/') + name);
    if (!ok || ::rename(temp.constData(), target.constData()) != 0) {
        *error = QStringLiteral("cannot write %1: %2").arg(QString::fromLocal8Bit(target),
                                                           systemError(ok ? errno : writeErrno));
        ::unlink(temp.constData());
        return false;
    }
    return true;
}

} // namespace PrivateFiles
