#include "hostalive.h"

#include <signal.h>

bool hostAlive(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), 0) == 0;
}
