#include "crashmanage/crashmanage.h"

#include "crashmanage/handlerpolicy.h"
#include "wire.h"
#include "crashmanage/werregistration.h"
#include "sdk/sdklog.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTimer>

namespace {

// The single instance: created by the first export that needs it, never deleted.
CrashManage *s_instance = nullptr;
// Set by the first StartCrash: the registration tool and the crash handler are launched only once
// per process, whatever the host calls later.
bool s_actualStarted = false;

} // namespace

// static
CrashManage *CrashManage::instance()
{
    if (!s_instance)
        s_instance = new CrashManage;
    return s_instance;
}

CrashManage::CrashManage(QObject *parent)
    : QObject(parent)
{
}

CrashManage::~CrashManage() = default;

void CrashManage::setLogSwitch(bool on)
{
    sdkSetLogEnabled(on);
}

/*
 * Records the start parameters (every call) and, on the first call only, has the local-dump
 * entries registered and launches the crash handler. The dump folder is kept with backslashes,
 * as the OS settings and the crash handler expect it.
 */
void CrashManage::startDetach(const QString &clientName, const QString &handlerParam1,
                              const QString &handlerParam2, const QString &dumpPath, int dumpCount,
                              int dumpType, const QString &handlerParam3)
{
    sdkLog(false, Q_FUNC_INFO, "CrashManage::startDetach");

    QString dmpPath = dumpPath;
    dmpPath.replace(QLatin1Char('/'), QLatin1Char('\\'));

    m_clientName = clientName;
    m_handlerParam1 = handlerParam1;
    m_handlerParam2 = handlerParam2;
    m_dmpPath = dmpPath;
    m_handlerParam3 = handlerParam3;
    m_dumpCount = dumpCount;
    m_dumpType = dumpType;

    // The host's own local-dump check; its line carries this function's signature.
    const QString appName = QCoreApplication::applicationName() + QLatin1String(".exe");
    if (isLocalDumpRegistered(appName, m_dmpPath, m_dumpCount, m_dumpType))
        sdkLog(false, Q_FUNC_INFO, "CrashManage dmpCreatePath:", m_dmpPath);
    else
        appendWerEntry(m_werEntries, appName, m_dmpPath, m_dumpCount, m_dumpType);

    actualStart();
}

void CrashManage::actualStart()
{
    if (s_actualStarted) {
        sdkLog(false, Q_FUNC_INFO, "CrashManage::actualStart Actual had started");
        return;
    }
    s_actualStarted = true;
    sdkLog(false, Q_FUNC_INFO, "CrashManage::actualStart");

    checkCrashDmpWER(m_werEntries);
    startProcessHandler();
}

/*
 * Launches one crash handler, detached, with the fixed seven-argument command line built from the
 * fields as they are now, and schedules the first connection attempt. The handler is never
 * stopped, waited for or killed; a relaunch leaves an earlier one running.
 */
void CrashManage::startProcessHandler()
{
    SDK_LOG_LINE(false);

    if (!m_process) {
        m_process = new QProcess(this);
        const bool ok = connect(m_process, SIGNAL(readyReadStandardError()), this, SLOT(onReadyReadStandardError()))
                && connect(m_process, SIGNAL(readyReadStandardOutput()), this, SLOT(onReadyReadStandardOutput()))
                && connect(m_process, SIGNAL(finished(int, QProcess::ExitStatus)), this,
                           SLOT(onAppFinished(int, QProcess::ExitStatus)));
        Q_ASSERT(ok);
        Q_UNUSED(ok);
        sdkLog(false, Q_FUNC_INFO, "process Init process");
    }

    m_pid = QString::number(QCoreApplication::applicationPid());

    const QStringList arguments {
        m_pid,
        m_dmpPath,
        QCoreApplication::applicationName(),
        m_clientName,
        m_handlerParam1,
        m_handlerParam2,
        m_handlerParam3,
    };
    sdkLog(false, Q_FUNC_INFO, "process args : ", arguments);

    const QString program = QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(Wire::kHandlerProgram);
    sdkLog(false, Q_FUNC_INFO, "KivCrashHandler Path:", program);

    // A handler that is missing or cannot start shows up as failed connection attempts.
    QProcess::startDetached(program, arguments);

    QTimer::singleShot(HandlerPolicy::kFirstConnectDelayMs, this, SLOT(onConnectToServer()));
}

void CrashManage::onReadyReadStandardError()
{
}

void CrashManage::onReadyReadStandardOutput()
{
}

void CrashManage::onAppFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    SDK_LOG_LINE(false) << exitCode << exitStatus;
}
