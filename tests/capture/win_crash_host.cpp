// A Windows host that ends the way a test asks, for the crash capture to report on. No library, no
// Qt. It starts two secondary threads (one waits in a function inlined into it, one 100 calls
// deep), prints "ready <main thread id> <process id>", then reads lines:
//   connect <name>  connects to the handler's local server (the pipe \\.\pipe\<name>), prints
//                   "connected" (or "failed")
//   send <text>     writes the frame <text>$, prints the handler's answer line
//   go              ends as the first argument says:
//   av           writes through a null pointer in the main thread (EXCEPTION_ACCESS_VIOLATION)
//   exit         exits with code 3
//   dump <dir>   writes through a null pointer, and a vectored exception handler writes the
//                process's own minidump with the exception (MiniDumpWriteDump) where Windows Error
//                Reporting would, <dir>\<exe>.<pid>.dmp, then ends the process with the exception
//                code
// When stdin closes first it ends with code 2.

#include <windows.h>
#include <dbghelp.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

wchar_t s_dumpPath[MAX_PATH * 2];

__attribute__((noinline)) void nullWriteInMain()
{
    static volatile ULONG_PTR s_address = 0;
    *reinterpret_cast<volatile int *>(s_address) = 42;
}

LONG CALLBACK writeOwnDump(EXCEPTION_POINTERS *pointers)
{
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (code != EXCEPTION_ACCESS_VIOLATION)
        return EXCEPTION_CONTINUE_SEARCH;
    HANDLE file = CreateFileW(s_dumpPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        MINIDUMP_EXCEPTION_INFORMATION info;
        info.ThreadId = GetCurrentThreadId();
        info.ExceptionPointers = pointers;
        info.ClientPointers = FALSE;
        MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &info, nullptr, nullptr);
        CloseHandle(file);
    }
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_CONTINUE_SEARCH;
}

__attribute__((always_inline)) inline void waitForever()
{
    Sleep(INFINITE);
}

DWORD WINAPI idle(void *)
{
    waitForever();
    return 0;
}

__attribute__((noinline)) void recurse(int depth)
{
    if (depth > 0)
        recurse(depth - 1);
    else
        Sleep(INFINITE);
}

DWORD WINAPI deep(void *)
{
    recurse(100);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const wchar_t *mode = argc >= 2 ? argv[1] : L"";
    CloseHandle(CreateThread(nullptr, 0, idle, nullptr, 0, nullptr));
    CloseHandle(CreateThread(nullptr, 0, deep, nullptr, 0, nullptr));
    std::printf("ready %lu %lu\n", GetCurrentThreadId(), GetCurrentProcessId());
    std::fflush(stdout);
    HANDLE handler = INVALID_HANDLE_VALUE;
    char line[4096];
    for (;;) {
        if (!std::fgets(line, sizeof line, stdin))
            return 2;
        line[std::strcspn(line, "\r\n")] = '\0';
        if (std::strncmp(line, "connect ", 8) == 0) {
            char pipe[4200];
            std::snprintf(pipe, sizeof pipe, "\\\\.\\pipe\\%s", line + 8);
            handler = CreateFileA(pipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            std::printf(handler != INVALID_HANDLE_VALUE ? "connected\n" : "failed\n");
        } else if (std::strncmp(line, "send ", 5) == 0) {
            const DWORD length = DWORD(std::strlen(line + 5) + 1);
            line[4 + length] = '$';
            std::string answer;
            DWORD done = 0;
            char c = 0;
            if (WriteFile(handler, line + 5, length, &done, nullptr) && done == length)
                while (ReadFile(handler, &c, 1, &done, nullptr) && done == 1 && c != '\r')
                    answer += c;
            std::printf("%s\n", answer.c_str());
        } else if (std::strcmp(line, "go") == 0) {
            break;
        }
        std::fflush(stdout);
    }
    if (wcscmp(mode, L"av") == 0) {
        nullWriteInMain();
    } else if (wcscmp(mode, L"exit") == 0) {
        return 3;
    } else if (wcscmp(mode, L"dump") == 0 && argc >= 3) {
        wchar_t exe[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
        const wchar_t *name = exe + length;
        while (name > exe && name[-1] != L'\\' && name[-1] != L'/')
            --name;
        swprintf(s_dumpPath, sizeof s_dumpPath / sizeof s_dumpPath[0], L"%ls\\%ls.%lu.dmp", argv[2], name, GetCurrentProcessId());
        // As the WER stand-in does: dbghelp knows the process before the dump, with no module's
        // symbols loaded. Loading them (MiniDumpWriteDump's default) has Wine's dbghelp look for the
        // PDB of every image whose CodeView record names none by opening each file beside it.
        SymSetOptions(SymGetOptions() | SYMOPT_DEFERRED_LOADS);
        SymInitializeW(GetCurrentProcess(), nullptr, FALSE);
        AddVectoredExceptionHandler(1, writeOwnDump);
        nullWriteInMain();
    }
    return 2;
}
