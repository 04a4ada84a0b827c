#include "elevation.h"

#include <QCoreApplication>
#include <QDir>

#include <string>

#include <windows.h>
#include <shellapi.h>

namespace {

// How long the unelevated run waits for the elevated one (the prompt included) before it gives up
// waiting; the elevated run goes on regardless.
const DWORD kElevatedWaitMs = 120000;

} // namespace

// Backslashes double only where they come before a quote, and every quote is escaped.
QString quotedArgument(const QString &argument)
{
    QString quoted = QStringLiteral("\"");
    int backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        if (c == QLatin1Char('"'))
            backslashes = backslashes * 2 + 1;
        quoted += QString(backslashes, QLatin1Char('\\')) + c;
        backslashes = 0;
    }
    return quoted + QString(backslashes * 2, QLatin1Char('\\')) + QLatin1Char('"');
}

// ShellExecuteEx with the "runas" verb shows the elevation prompt; a refusal fails with
// ERROR_CANCELLED. SEE_MASK_FLAG_NO_UI keeps the shell from showing error dialogs of its own.
int runElevated(const QString &argument, QString *error)
{
    const std::wstring program = QDir::toNativeSeparators(QCoreApplication::applicationFilePath()).toStdWString();
    const std::wstring parameters = (elevatedOption() + QLatin1Char(' ') + quotedArgument(argument)).toStdWString();
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info)) {
        const DWORD code = GetLastError();
        *error = code == ERROR_CANCELLED
                ? QStringLiteral("administrator rights refused; nothing written")
                : QStringLiteral("cannot start the elevated run (error %1); nothing written").arg(code);
        return -1;
    }
    if (!info.hProcess) {
        *error = QStringLiteral("the elevated run gave no process to wait for");
        return -1;
    }
    DWORD exitCode = 0;
    const bool ended = WaitForSingleObject(info.hProcess, kElevatedWaitMs) == WAIT_OBJECT_0
            && GetExitCodeProcess(info.hProcess, &exitCode);
    CloseHandle(info.hProcess);
    if (!ended) {
        *error = QStringLiteral("the elevated run did not end within %1 s").arg(kElevatedWaitMs / 1000);
        return -1;
    }
    return int(exitCode);
}
