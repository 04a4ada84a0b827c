#ifndef OSTREL_TESTS_ASORDINARYUSER_H
#define OSTREL_TESTS_ASORDINARYUSER_H

// Root passes every permission check, so read-only and unreadable files only bite an ordinary
// user: while alive, a test running as root acts as "nobody" (65534). Check `ok` before relying on it.

#include <QtGlobal>

#include <unistd.h>

struct AsOrdinaryUser
{
    const bool wasRoot = geteuid() == 0;
    const bool ok = !wasRoot || (setegid(65534) == 0 && seteuid(65534) == 0);
    ~AsOrdinaryUser()
    {
        if (wasRoot && (seteuid(0) != 0 || setegid(0) != 0))
            qFatal("cannot regain root");
    }
};

#endif // OSTREL_TESTS_ASORDINARYUSER_H
