#ifndef OSTREL_TESTS_ASORDINARYUSER_H
#define OSTREL_TESTS_ASORDINARYUSER_H

// Root passes every permission check, so read-only and unreadable files only bite an ordinary
// user: while alive, a test running as root acts as "nobody" (65534). Check `ok` before relying on it.
// OrdinaryUserProcess below runs a child program as that user.
// `canDenyAccess`: whether permissions taken away from a file stop this test's process here.

#include "qtcompat.h"

#include <QtGlobal>

#ifdef Q_OS_WIN

// Windows: QFile::setPermissions only sets the read-only attribute, which cannot make a file
// unreadable, and under Wine run by root it maps to permission bits that root ignores.
struct AsOrdinaryUser
{
    static constexpr bool canDenyAccess = false;
    const bool ok = true;
};

#else

#include <grp.h>
#include <unistd.h>

struct AsOrdinaryUser
{
    static constexpr bool canDenyAccess = true;
    const bool wasRoot = geteuid() == 0;
    const bool ok = !wasRoot || (setegid(65534) == 0 && seteuid(65534) == 0);
    ~AsOrdinaryUser()
    {
        if (wasRoot && (seteuid(0) != 0 || setegid(0) != 0))
            qFatal("cannot regain root");
    }
};

// A child process run wholly as that user when the test runs as root: real and effective ids alike,
// since a Qt program refuses to start with differing ones. Folders it needs must be open to it.
class OrdinaryUserProcess : public QtCompat::ChildSetupProcess
{
public:
    OrdinaryUserProcess() : ChildSetupProcess(&becomeNobody) {}

private:
    static void becomeNobody()
    {
        if (getuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(127);
    }
};

#endif

#endif // OSTREL_TESTS_ASORDINARYUSER_H
