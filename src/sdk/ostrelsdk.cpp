// The exported functions. Each is a thin forward: client info file first (where the call concerns
// it), then the crash manager. Nothing here checks arguments; the work that checks them logs.

#include <OstrelSDK/ostrelsdk.h>

#include "clientinfo/clientinfowriters.h"
#include "crashmanage/crashmanage.h"
#include "sdk/sdklog.h"

namespace {

// What getOstrelVersion answers; the file version (OSTRELSDK_FILE_VERSION) carries a build number too.
const QString s_version = QStringLiteral("3.3.0");

} // namespace

namespace Ostrel_SDK {

bool StartCrash(const QString &clientName, const QString &handlerParam1, const QString &handlerParam2,
                const QString &dumpPath, int dumpCount, int dumpType, const QString &handlerParam3)
{
    sdkLog(false, Q_FUNC_INFO, "StartCrash");
    CrashManage::instance()->startDetach(clientName, handlerParam1, handlerParam2, dumpPath, dumpCount,
                                         dumpType, handlerParam3);
    writeIniFile(clientName);
    return true;
}

void appendClientThirdpartyLogPath(const QString &logPath)
{
    appendIniFileThirdpartyLogInfo(logPath);
}

void checkExceptionInfos(const QString &info1, const QString &info2)
{
    CrashManage::instance()->checkExceptionInfos(info1, info2);
}

void enterLive(const QString &liveId, const QString &, bool liveFlag)
{
    writeIniFileLiveInfo(liveId, true);
    CrashManage::instance()->enterLive(liveId, liveFlag);
}

void exitClient()
{
    CrashManage::instance()->exitClient();
}

QString getOstrelVersion()
{
    return s_version;
}

void logSwitch(bool on)
{
    CrashManage::instance()->setLogSwitch(on);
}

void quitLive()
{
    writeIniFileLiveInfo(QString(), false);
}

void setClientLogPath(const QString &logPath)
{
    writeIniFileClientLogInfo(logPath);
}

void setCloudConfig(const QString &config1, const QString &config2)
{
    CrashManage::instance()->setCloudInfoConfig(config1, config2);
}

void setStreamNode(const QString &node, const QString &nodeDetail)
{
    writeIniFileStreamNodeInfo(node);
    CrashManage::instance()->streamNode(node, nodeDetail);
}

void setUserInfo(const QString &userId, const QString &)
{
    writeIniFileUserInfo(userId);
    CrashManage::instance()->clientLogin(userId);
}

void subProcessInfo(const QList<SubProcess_Info> &subProcesses)
{
    CrashManage::instance()->setSubProcessInfo(subProcesses);
}

void subProcessPid(const QString &appName, const QString &subProcessPid, const QString &subLogFile, int status)
{
    CrashManage::instance()->setSubProcessPid(appName, subProcessPid, subLogFile, status);
}

} // namespace Ostrel_SDK
