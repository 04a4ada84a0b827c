#include "toolstreams.h"

#include <QFile>

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ToolStreams {

bool redirectTo(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW;
    struct stat st;
    if (::stat(native.constData(), &st) == 0 && st.st_size > 256 * 1024)
        flags |= O_TRUNC;
    int fd = ::open(native.constData(), flags, 0600);
    if (fd < 0)
        fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::fflush(stdout);
    std::fflush(stderr);
    if (fd >= 0) {
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        if (fd > STDERR_FILENO)
            ::close(fd);
    }
    return true;
}

} // namespace ToolStreams
