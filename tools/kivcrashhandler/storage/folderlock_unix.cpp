#include "storage/folderlock.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

FolderLock::FolderLock(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    if (::flock(fd, LOCK_EX) == 0)
        m_handle = fd;
    else
        ::close(fd);
}

FolderLock::~FolderLock()
{
    if (m_handle != -1)
        ::close(int(m_handle)); // releases the lock
}
