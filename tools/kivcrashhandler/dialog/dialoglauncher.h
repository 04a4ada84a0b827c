#ifndef KIVCRASHHANDLER_DIALOGLAUNCHER_H
#define KIVCRASHHANDLER_DIALOGLAUNCHER_H

#include "dialogcontract.h"

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>

#include <memory>

class QTemporaryDir;
class QTimer;

// Asks the user about one crash report through KivCrashDialog.exe without ever blocking the
// handler's event loop: ask() writes the request into a fresh folder only this user can enter,
// starts the dialog and returns; answered() follows exactly once, when the dialog has exited, and
// carries either the user's answer or "none" with the reason there is none (no display, the program
// missing or failing, no answer file, or a dialog that outlived its time-out and the grace period).
// The folder and its files are removed after the answer. One launcher asks one question at a time.
class DialogLauncher : public QObject
{
    Q_OBJECT

public:
    // How long past the request's time-out a dialog may take to close itself before it is stopped.
    static constexpr int kGraceSeconds = 30;

    explicit DialogLauncher(QObject *parent = nullptr);
    ~DialogLauncher() override;

    // KivCrashDialog.exe beside the running program.
    static QString defaultProgram();
    void setProgram(const QString &program) { m_program = program; }
    // Where the private folder for the request and the answer is made (default: the temporary folder).
    void setWorkFolder(const QString &folder) { m_workFolder = folder; }

    // False, with nothing started and no signal, while an earlier question is open.
    bool ask(const DialogRequest &request);
    bool isAsking() const { return m_asking; }

signals:
    void answered(const DialogAnswer &answer);

private slots:
    void onFinished(int exitCode, QProcess::ExitStatus status);
    void onErrorOccurred(QProcess::ProcessError error);
    void onWatchdog();

private:
    // Answers "none" with `reason` on the next pass of the event loop.
    void failLater(const QString &reason);
    void finish(DialogAnswer answer);

    QString m_program;
    QString m_workFolder;
    QProcess *m_process = nullptr;
    QTimer *m_watchdog = nullptr;
    std::unique_ptr<QTemporaryDir> m_folder;
    QElapsedTimer m_elapsed;
    int m_watchdogSeconds = 0;
    bool m_asking = false;

    Q_DISABLE_COPY(DialogLauncher)
};

#endif // KIVCRASHHANDLER_DIALOGLAUNCHER_H
