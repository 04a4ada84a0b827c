#include "dialoglauncher.h"
#include "displaycheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

namespace {

const QString kRequestName = QStringLiteral("request.json");
const QString kAnswerName = QStringLiteral("answer.json");

// The last line the dialog wrote on stderr, for the reason.
QString lastLine(const QByteArray &output)
{
    const QList<QByteArray> lines = output.trimmed().split('\n');
    return QString::fromUtf8(lines.last().trimmed()).left(400);
}

} // namespace

DialogLauncher::DialogLauncher(QObject *parent)
    : QObject(parent)
    , m_program(defaultProgram())
    , m_workFolder(QDir::tempPath())
    , m_watchdog(new QTimer(this))
{
    m_watchdog->setSingleShot(true);
    const bool ok = connect(m_watchdog, SIGNAL(timeout()), this, SLOT(onWatchdog()));
    Q_ASSERT(ok);
    Q_UNUSED(ok);
}

DialogLauncher::~DialogLauncher()
{
    // A handler that ends while a dialog is open takes the question with it.
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->disconnect(this);
        m_process->kill();
        m_process->waitForFinished(1000);
    }
}

// static
QString DialogLauncher::defaultProgram()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/KivCrashDialog.exe");
}

bool DialogLauncher::ask(const DialogRequest &request)
{
    if (m_asking)
        return false;
    m_asking = true;
    m_elapsed.start();

    QString reason;
    if (!displayAvailable(&reason)) {
        failLater(reason);
        return true;
    }
    if (!QFileInfo(m_program).isFile()) {
        failLater(QStringLiteral("the dialog program is missing: %1").arg(QDir::toNativeSeparators(m_program)));
        return true;
    }
    // QTemporaryDir makes the folder 0700; on Windows the user's own temporary folder is private.
    m_folder.reset(new QTemporaryDir(m_workFolder + QStringLiteral("/KivCrashDialog-XXXXXX")));
    if (!m_folder->isValid()) {
        failLater(QStringLiteral("no private folder for the request in %1: %2").arg(m_workFolder, m_folder->errorString()));
        return true;
    }
    QString error;
    if (!DialogContract::writePrivateFile(m_folder->filePath(kRequestName), request.toJson(), &error)) {
        failLater(QStringLiteral("the request could not be written: %1").arg(error));
        return true;
    }

    m_process = new QProcess(this);
    m_process->setProgram(m_program);
    m_process->setArguments({QStringLiteral("--request"), m_folder->filePath(kRequestName),
                             QStringLiteral("--answer"), m_folder->filePath(kAnswerName)});
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->setStandardOutputFile(QProcess::nullDevice());
    const bool ok = connect(m_process, SIGNAL(finished(int,QProcess::ExitStatus)),
                            this, SLOT(onFinished(int,QProcess::ExitStatus)))
            && connect(m_process, SIGNAL(errorOccurred(QProcess::ProcessError)),
                       this, SLOT(onErrorOccurred(QProcess::ProcessError)));
    Q_ASSERT(ok);
    Q_UNUSED(ok);
    m_watchdogSeconds = request.timeoutSeconds + kGraceSeconds;
    m_watchdog->start(m_watchdogSeconds * 1000);
    m_process->start();
    return true;
}

void DialogLauncher::onFinished(int exitCode, QProcess::ExitStatus status)
{
    if (!m_asking)
        return;
    DialogAnswer answer;
    QString error;
    QByteArray json;
    // A request the dialog could not read still leaves an answer "none" with its reason.
    if (DialogContract::readFile(m_folder->filePath(kAnswerName), DialogContract::kMaxAnswerBytes, &json, &error)
        && DialogAnswer::fromJson(json, &answer, &error)) {
        finish(answer);
        return;
    }
    const QString how = status == QProcess::CrashExit ? QStringLiteral("crashed")
                                                      : QStringLiteral("exit code %1").arg(exitCode);
    const QString said = lastLine(m_process->readAllStandardError());
    answer.reason = QStringLiteral("the dialog ended without an answer (%1%2): %3")
                            .arg(how, said.isEmpty() ? QString() : QStringLiteral(", \"%1\"").arg(said), error);
    finish(answer);
}

void DialogLauncher::onErrorOccurred(QProcess::ProcessError error)
{
    // Only a failed start has no finished() to follow.
    if (error != QProcess::FailedToStart || !m_asking)
        return;
    DialogAnswer answer;
    answer.reason = QStringLiteral("the dialog program could not be started: %1").arg(m_process->errorString());
    finish(answer);
}

void DialogLauncher::onWatchdog()
{
    DialogAnswer answer;
    answer.reason = QStringLiteral("the dialog did not close itself within %1 s and was stopped").arg(m_watchdogSeconds);
    finish(answer);
}

void DialogLauncher::failLater(const QString &reason)
{
    QTimer::singleShot(0, this, [this, reason] {
        DialogAnswer answer;
        answer.reason = reason;
        finish(answer);
    });
}

void DialogLauncher::finish(DialogAnswer answer)
{
    m_watchdog->stop();
    if (m_process) {
        m_process->disconnect(this);
        if (m_process->state() != QProcess::NotRunning) {
            m_process->kill();
            m_process->waitForFinished(1000); // reaped at once after SIGKILL
        }
        m_process->deleteLater();
        m_process = nullptr;
    }
    m_folder.reset();
    m_asking = false;
    if (answer.answer == DialogAnswer::None)
        answer.elapsedMs = m_elapsed.elapsed();
    emit answered(answer);
}
