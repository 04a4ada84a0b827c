#include "storage/folderlock.h"

#include "storage/privatefiles.h"

#include <io.h>
#include <windows.h>

FolderLock::FolderLock(const QString &folder)
{
    QString error;
    const int fd = PrivateFiles::openForAppend(folder + QLatin1String("/.folder.lock"), &error);
    if (fd < 0)
        return;
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    OVERLAPPED whole = {};
    if (file != INVALID_HANDLE_VALUE && LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole))
        m_handle = fd;
    else
        _close(fd);
}

FolderLock::~FolderLock()
{
    if (m_handle != -1)
        _close(int(m_handle)); // closing the handle releases the lock
}
