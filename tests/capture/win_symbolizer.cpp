// llvm-symbolizer as a Windows program, for ostrel-report.exe under Wine. Wine starts a Linux
// program without a process handle and without the pipes it was given, so this one stands between:
// it takes the symbolizer's arguments (the file of "--obj=" by its Windows path, turned into the
// Unix path Wine maps it to) and its standard input, runs /usr/bin/llvm-symbolizer through /bin/sh
// with files for input, output, errors and exit status, waits for the status (at most 30 s) and
// passes output, errors and status on. No library, no Qt.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

using UnixFileName = char *(CDECL *)(const WCHAR *);

UnixFileName s_unixName = nullptr;

std::string unixPath(const std::wstring &path)
{
    char *name = s_unixName(path.c_str());
    const std::string result = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

std::string quoted(const std::string &text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string narrow(const std::wstring &text)
{
    std::string out(size_t(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], int(out.size()), nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

bool writeFile(const std::wstring &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD done = 0;
    const bool ok = file != INVALID_HANDLE_VALUE && WriteFile(file, bytes.data(), DWORD(bytes.size()), &done, nullptr) && done == bytes.size();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return ok;
}

std::string readAll(HANDLE handle)
{
    std::string bytes;
    char buffer[4096];
    DWORD done = 0;
    while (ReadFile(handle, buffer, sizeof buffer, &done, nullptr) && done > 0)
        bytes.append(buffer, done);
    return bytes;
}

std::string readFile(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    const std::string bytes = readAll(file);
    CloseHandle(file);
    return bytes;
}

void pass(DWORD stream, const std::string &bytes)
{
    DWORD done = 0;
    WriteFile(GetStdHandle(stream), bytes.data(), DWORD(bytes.size()), &done, nullptr);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    s_unixName = reinterpret_cast<UnixFileName>(
            reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (!s_unixName) {
        std::fprintf(stderr, "win_symbolizer: not under Wine\n");
        return 2;
    }
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"win_symbolizer." + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring in = folder + L"\\in", out = folder + L"\\out", err = folder + L"\\err", status = folder + L"\\status";
    const std::wstring script = folder + L"\\run.sh";

    std::string command = "/usr/bin/llvm-symbolizer";
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        command += ' ' + quoted(argument.rfind(L"--obj=", 0) == 0 ? "--obj=" + unixPath(argument.substr(6)) : narrow(argument));
    }
    const std::string there = unixPath(folder) + '/';
    command += " <" + quoted(there + "in") + " >" + quoted(there + "out") + " 2>" + quoted(there + "err");
    command += "\necho $? >" + quoted(there + "status.part") + " && mv " + quoted(there + "status.part") + ' ' + quoted(there + "status") + '\n';
    if (!writeFile(in, readAll(GetStdHandle(STD_INPUT_HANDLE))) || !writeFile(script, command)) {
        std::fprintf(stderr, "win_symbolizer: cannot write in %ls\n", folder.c_str());
        return 2;
    }
    // The Linux shell reads the script by its Unix path.
    const std::string unixScript = there + "run.sh";
    std::wstring shell = L"Z:\\bin\\sh \"" + std::wstring(unixScript.begin(), unixScript.end()) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(nullptr, &shell[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        std::fprintf(stderr, "win_symbolizer: /bin/sh did not start (error %lu)\n", GetLastError());
        return 2;
    }
    for (HANDLE handle : {started.hProcess, started.hThread}) // none for a Linux program
        if (handle)
            CloseHandle(handle);
    const DWORD deadline = GetTickCount() + 30000;
    while (GetFileAttributesW(status.c_str()) == INVALID_FILE_ATTRIBUTES && int(deadline - GetTickCount()) > 0)
        Sleep(20);
    const std::string code = readFile(status);
    pass(STD_OUTPUT_HANDLE, readFile(out));
    pass(STD_ERROR_HANDLE, readFile(err));
    for (const std::wstring &path : {in, out, err, status, script})
        DeleteFileW(path.c_str());
    RemoveDirectoryW(folder.c_str());
    if (code.empty()) {
        std::fprintf(stderr, "win_symbolizer: llvm-symbolizer did not finish within 30 s\n");
        return 2;
    }
    return std::atoi(code.c_str());
}
