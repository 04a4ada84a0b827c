#ifndef OSTREL_TESTS_HOSTALIVE_H
#define OSTREL_TESTS_HOSTALIVE_H

#include <QtGlobal>

// Whether the process `pid` still runs (a zombie counts as running). One file per platform.
bool hostAlive(qint64 pid);

#endif // OSTREL_TESTS_HOSTALIVE_H
