#include "handlerprocess.h"

#include <cstdio>

#include <windows.h>

namespace HandlerProcess {

void ignoreBrokenPipes()
{
    // Windows raises no signal on a broken pipe: the write fails and Qt reports it.
}

void leaveHostStreams()
{
    // Both the C runtime's streams (Qt's messages go to stderr) and the process's standard
    // handles, which child processes inherit.
    // A stream that cannot be reopened is closed by freopen: nothing reaches the host's either way.
    std::freopen("NUL", "r", stdin);
    std::freopen("NUL", "w", stdout);
    std::freopen("NUL", "w", stderr);
    const DWORD streams[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (DWORD stream : streams) {
        const HANDLE null = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (null != INVALID_HANDLE_VALUE)
            SetStdHandle(stream, null); // held for the process's life
    }
}

} // namespace HandlerProcess
