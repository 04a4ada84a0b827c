// ostrel-wer-standin: what Windows Error Reporting does for a crashing process that has local dumps
// registered, for Wine, which has no error reporting of its own. Used only to run the demo and the
// end-to-end tests under Wine; not shipped, and never needed on Windows.
//
//   ostrel-wer-standin --register    makes this program the prefix's post-mortem debugger
//                                    (AeDebug: Debugger "<this program> %ld %ld", Auto "1")
//   ostrel-wer-standin <pid> <event> how the system starts it when process <pid> crashes
//
// Started for a crash, it attaches to the process as a debugger, signals <event> (the crashing
// thread waits on it), and takes the exception that ended the process. When the process's
// executable has a key under HKLM\SOFTWARE\Microsoft\Windows\Windows Error Reporting\LocalDumps,
// it writes "<DumpFolder>\<exe>.<pid>.dmp" (DumpFolder defaults to %LOCALAPPDATA%\CrashDumps,
// DumpType 1 mini, 2 full, 0 the flags of CustomDumpFlags), with the exception in it, and keeps
// at most DumpCount (default 10) such dumps in the folder, as WER does. In every case it then
// ends the process with the exception code as its exit code. Every wait is bounded: a process
// that never reports its exception is ended all the same once kDeadlineMs have passed.

#include <windows.h>

#include <dbghelp.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

const wchar_t kAeDebugKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug";
const wchar_t kLocalDumpsKey[] = L"SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps\\";
// How long the whole run may take, from attaching to the process's end.
const ULONGLONG kDeadlineMs = 30000;
ULONGLONG s_deadline = 0;

// The next debug event, or false once the deadline has passed.
bool nextDebugEvent(DEBUG_EVENT *event)
{
    const ULONGLONG now = GetTickCount64();
    return now < s_deadline && WaitForDebugEvent(event, DWORD(s_deadline - now));
}

// Code the process ends with when no exception was taken (it never reported one in time).
const DWORD kNoExceptionCode = 0xC0000001; // STATUS_UNSUCCESSFUL

int registerSelf()
{
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        std::fprintf(stderr, "ostrel-wer-standin: cannot name its own path\n");
        return 1;
    }
    const std::wstring debugger = L"\"" + std::wstring(self) + L"\" %ld %ld";
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kAeDebugKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        std::fprintf(stderr, "ostrel-wer-standin: cannot open the AeDebug key\n");
        return 1;
    }
    const wchar_t autoStart[] = L"1";
    const bool ok = RegSetValueExW(key, L"Debugger", 0, REG_SZ, reinterpret_cast<const BYTE *>(debugger.c_str()),
                                   DWORD((debugger.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS
            && RegSetValueExW(key, L"Auto", 0, REG_SZ, reinterpret_cast<const BYTE *>(autoStart), sizeof(autoStart))
                    == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!ok) {
        std::fprintf(stderr, "ostrel-wer-standin: cannot write the AeDebug values\n");
        return 1;
    }
    return 0;
}

// The local-dump settings of one executable; `registered` is false when it has no key.
struct LocalDumps
{
    bool registered = false;
    std::wstring folder;
    DWORD type = 1;
    DWORD count = 10;
    DWORD customFlags = 0;
};

std::wstring expand(const std::wstring &text)
{
    wchar_t out[MAX_PATH * 2];
    const DWORD n = ExpandEnvironmentStringsW(text.c_str(), out, DWORD(sizeof(out) / sizeof(out[0])));
    return n == 0 || n > sizeof(out) / sizeof(out[0]) ? text : std::wstring(out);
}

LocalDumps readLocalDumps(const std::wstring &exe)
{
    LocalDumps result;
    HKEY key;
    if (exe.empty() || RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kLocalDumpsKey + exe).c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key)
                != ERROR_SUCCESS)
        return result;
    result.registered = true;
    wchar_t folder[MAX_PATH];
    DWORD size = sizeof(folder) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, L"DumpFolder", nullptr, &type, reinterpret_cast<BYTE *>(folder), &size) == ERROR_SUCCESS
        && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        folder[size / sizeof(wchar_t)] = L'\0';
        result.folder = folder;
    }
    if (result.folder.empty())
        result.folder = L"%LOCALAPPDATA%\\CrashDumps";
    result.folder = expand(result.folder);
    const auto readDword = [key](const wchar_t *name, DWORD *value) {
        DWORD v = 0, t = 0, s = sizeof(v);
        if (RegQueryValueExW(key, name, nullptr, &t, reinterpret_cast<BYTE *>(&v), &s) == ERROR_SUCCESS && t == REG_DWORD)
            *value = v;
    };
    readDword(L"DumpType", &result.type);
    readDword(L"DumpCount", &result.count);
    readDword(L"CustomDumpFlags", &result.customFlags);
    RegCloseKey(key);
    return result;
}

std::wstring executableName(HANDLE process)
{
    wchar_t path[MAX_PATH * 2];
    DWORD size = DWORD(sizeof(path) / sizeof(path[0]));
    if (!QueryFullProcessImageNameW(process, 0, path, &size))
        return std::wstring();
    const std::wstring full(path, size);
    const size_t slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? full : full.substr(slash + 1);
}

// Keeps the newest `keep` dumps of this executable in the folder, so that the one about to be
// written makes DumpCount.
void pruneDumps(const std::wstring &folder, const std::wstring &exe, DWORD keep)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\" + exe + L".*.dmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    std::vector<std::pair<ULONGLONG, std::wstring>> dumps;
    do {
        const ULONGLONG time = (ULONGLONG(found.ftLastWriteTime.dwHighDateTime) << 32) | found.ftLastWriteTime.dwLowDateTime;
        dumps.emplace_back(time, found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(dumps.begin(), dumps.end());
    for (size_t i = 0; i + keep < dumps.size(); ++i)
        DeleteFileW((folder + L"\\" + dumps[i].second).c_str());
}

MINIDUMP_TYPE dumpTypeOf(const LocalDumps &settings)
{
    switch (settings.type) {
    case 0:
        return MINIDUMP_TYPE(settings.customFlags);
    case 2:
        return MINIDUMP_TYPE(MiniDumpWithFullMemory | MiniDumpWithHandleData | MiniDumpWithUnloadedModules
                             | MiniDumpWithThreadInfo);
    default:
        return MINIDUMP_TYPE(MiniDumpWithUnloadedModules | MiniDumpWithThreadInfo);
    }
}

// Writes the dump when the executable has local dumps registered; false when it wrote none.
bool writeDump(HANDLE process, DWORD pid, HANDLE thread, const DEBUG_EVENT &event)
{
    const std::wstring exe = executableName(process);
    const LocalDumps settings = readLocalDumps(exe);
    if (!settings.registered)
        return false;
    CreateDirectoryW(settings.folder.c_str(), nullptr);
    if (settings.count > 0)
        pruneDumps(settings.folder, exe, settings.count - 1);
    if (settings.count == 0) // WER writes none then
        return false;

    EXCEPTION_RECORD record = event.u.Exception.ExceptionRecord;
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_FULL | CONTEXT_SEGMENTS | CONTEXT_FLOATING_POINT;
    EXCEPTION_POINTERS pointers = {&record, &context};
    MINIDUMP_EXCEPTION_INFORMATION exception = {event.dwThreadId, &pointers, FALSE};
    const bool haveContext = thread != nullptr && GetThreadContext(thread, &context);

    const std::wstring path = settings.folder + L"\\" + exe + L"." + std::to_wstring(pid) + L".dmp";
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // The process made known to dbghelp first, with no module's symbols loaded: otherwise the dump
    // starts by loading every module's debug information, which under Wine (whose own DLLs carry
    // DWARF) takes seconds. A dump needs none of it.
    SymSetOptions(SymGetOptions() | SYMOPT_DEFERRED_LOADS);
    const bool symbols = SymInitializeW(process, nullptr, FALSE);
    const bool ok = MiniDumpWriteDump(process, pid, file, dumpTypeOf(settings), haveContext ? &exception : nullptr,
                                      nullptr, nullptr);
    if (symbols)
        SymCleanup(process);
    CloseHandle(file);
    if (!ok)
        DeleteFileW(path.c_str());
    return ok;
}

// Lets a debugged process end: the events that follow TerminateProcess are continued until it has
// exited, within the deadline.
void drainUntilExit(DWORD pid)
{
    DEBUG_EVENT event;
    while (nextDebugEvent(&event)) {
        const DWORD code = event.dwDebugEventCode;
        if (code == CREATE_PROCESS_DEBUG_EVENT && event.u.CreateProcessInfo.hFile)
            CloseHandle(event.u.CreateProcessInfo.hFile);
        if (code == LOAD_DLL_DEBUG_EVENT && event.u.LoadDll.hFile)
            CloseHandle(event.u.LoadDll.hFile);
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
        if (code == EXIT_PROCESS_DEBUG_EVENT && event.dwProcessId == pid)
            return;
    }
}

int handleCrash(DWORD pid, HANDLE attached)
{
    s_deadline = GetTickCount64() + kDeadlineMs;
    const BOOL debugging = DebugActiveProcess(pid);
    // The crashing thread waits for this whether or not we could attach.
    if (attached) {
        SetEvent(attached);
        CloseHandle(attached);
    }
    if (!debugging) {
        const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
        if (process) {
            TerminateProcess(process, kNoExceptionCode);
            CloseHandle(process);
        }
        return 1;
    }
    // If this program dies, the system ends the process it debugs: nothing is left waiting.
    DebugSetProcessKillOnExit(TRUE);

    HANDLE process = nullptr;
    std::map<DWORD, HANDLE> threads;
    bool attachBreakpointSeen = false;
    DWORD exitCode = kNoExceptionCode;
    DEBUG_EVENT event;
    while (nextDebugEvent(&event)) {
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            process = event.u.CreateProcessInfo.hProcess;
            threads[event.dwThreadId] = event.u.CreateProcessInfo.hThread;
            if (event.u.CreateProcessInfo.hFile)
                CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case CREATE_THREAD_DEBUG_EVENT:
            threads[event.dwThreadId] = event.u.CreateThread.hThread;
            break;
        case EXIT_THREAD_DEBUG_EVENT:
            threads.erase(event.dwThreadId);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile)
                CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            // Ended before it reported its exception: nothing more to do.
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
            return 0;
        case EXCEPTION_DEBUG_EVENT: {
            const EXCEPTION_RECORD &record = event.u.Exception.ExceptionRecord;
            // Attaching makes the process break once in a thread of its own; that is not the crash.
            if (record.ExceptionCode == EXCEPTION_BREAKPOINT && !attachBreakpointSeen) {
                attachBreakpointSeen = true;
                break;
            }
            const auto thread = threads.find(event.dwThreadId);
            if (process)
                writeDump(process, pid, thread == threads.end() ? nullptr : thread->second, event);
            exitCode = record.ExceptionCode;
            if (process)
                TerminateProcess(process, exitCode);
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_EXCEPTION_NOT_HANDLED);
            drainUntilExit(pid);
            return 0;
        }
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    // No exception before the deadline: end the process all the same.
    if (process)
        TerminateProcess(process, exitCode);
    return 1;
}

} // namespace

int wmain(int argc, wchar_t *argv[])
{
    if (argc == 2 && std::wcscmp(argv[1], L"--register") == 0)
        return registerSelf();
    if (argc != 3) {
        std::fprintf(stderr, "usage: ostrel-wer-standin --register | <pid> <event handle>\n");
        return 2;
    }
    wchar_t *end = nullptr;
    const unsigned long pid = std::wcstoul(argv[1], &end, 10);
    if (pid == 0 || *end != L'\0')
        return 2;
    const unsigned long long event = std::wcstoull(argv[2], &end, 10);
    return handleCrash(DWORD(pid), *end == L'\0' ? reinterpret_cast<HANDLE>(uintptr_t(event)) : nullptr);
}
