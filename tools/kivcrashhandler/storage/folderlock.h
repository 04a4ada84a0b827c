#ifndef KIVCRASHHANDLER_FOLDERLOCK_H
#define KIVCRASHHANDLER_FOLDERLOCK_H

#include <QString>
#include <QtGlobal>

// An exclusive lock that handlers of concurrent hosts take on one folder, held (blocking) from
// construction until destruction. A lock that cannot be taken is not waited for: the caller goes on
// unlocked. One file per platform:
//   Unix     flock(2) on the folder itself
//   Windows  LockFileEx on the lock file ".folder.lock" in it (created private like every file of
//            the handler, refused when it is a link)
class FolderLock
{
public:
    explicit FolderLock(const QString &folder);
    ~FolderLock();

    bool locked() const { return m_handle != -1; }

private:
    qintptr m_handle = -1;

    Q_DISABLE_COPY(FolderLock)
};

#endif // KIVCRASHHANDLER_FOLDERLOCK_H
