#include "handlerprocess.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace HandlerProcess {

void ignoreBrokenPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

void leaveHostStreams()
{
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        return;
    for (int fd = 0; fd <= 2; ++fd)
        ::dup2(null, fd);
    if (null > 2)
        ::close(null);
}

} // namespace HandlerProcess
