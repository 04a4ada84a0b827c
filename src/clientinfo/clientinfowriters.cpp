#include "clientinfo/clientinfowriters.h"

#include "clientinfo/kivoperateini.h"
#include "clientinfo/staleclientinfo.h"
#include "sdk/sdklog.h"

#include <QCoreApplication>
#include <QDir>
#include <QString>
#include <QTimer>

namespace {

// The two parts of the client info file name. "0" until StartCrash records them: a writer that runs
// earlier names the file KivClientInfo_0_0.xml for the rest of the process.
QString s_clientName = QStringLiteral("0");
QString s_processId = QStringLiteral("0");
// The single store, created by the first writer and never deleted.
KivOperateIni *s_iniInstance = nullptr;
// The first StartCrash of the process clears what ended hosts left behind; later ones need not.
bool s_staleFilesRemoved = false;

// Both folders a host may have used; each file removed is an ended host's, never a live one's.
void removeStaleClientInfo()
{
    for (const QString &folder : {QDir::homePath() + QLatin1String("/AppData/Local/OstrelSDK"),
                                  QCoreApplication::applicationDirPath() + QLatin1String("/OstrelSDK")}) {
        for (const QString &path : removeStaleClientInfoFiles(folder, QCoreApplication::applicationPid()))
            plainDebug() << "Ostrel removed the client info file of an ended host" << path;
    }
}

const QString &clientInfoGroup()
{
    static const QString group = QStringLiteral("ClientInfo");
    return group;
}

} // namespace

// static
KivOperateIni *KivOperateIni::instance()
{
    if (s_iniInstance)
        return s_iniInstance;

    QString folder = QDir::homePath() + QLatin1String("/AppData/Local/OstrelSDK");
    if (!QDir(folder).exists() && !QDir().mkpath(folder)) {
        folder = QCoreApplication::applicationDirPath() + QLatin1String("/OstrelSDK");
        // Whether this succeeds or not, the store is bound to the path below; a failure shows as
        // open failures on every later write.
        QDir().mkpath(folder);
    }
    // Only the file name is a template: a folder holding "%1" or "%2" must stay as it is.
    const QString path = folder + QStringLiteral("/KivClientInfo_%1_%2.xml").arg(s_clientName).arg(s_processId);

    s_iniInstance = new KivOperateIni;
    s_iniInstance->initXml(path, false);
    return s_iniInstance;
}

void writeIniFile(const QString &clientName)
{
    s_clientName = clientName;
    s_processId = QString::number(QCoreApplication::applicationPid());
    plainDebug() << "writeIniFile" << s_clientName << s_processId;
    if (s_staleFilesRemoved || !QCoreApplication::instance())
        return;
    s_staleFilesRemoved = true;
    // On the next pass of the host's event loop, not inside StartCrash: it reads a little of /proc
    // per file, which the host's start need not wait for.
    QTimer::singleShot(0, QCoreApplication::instance(), &removeStaleClientInfo);
}

void writeIniFileClientLogInfo(const QString &clientLogPath)
{
    plainDebug() << "Ostrel writeIniFileClientLogInfo" << clientLogPath;
    KivOperateIni::instance()->setOption(QStringLiteral("logPath"), clientLogPath, clientInfoGroup());
}

void writeIniFileUserInfo(const QString &userId)
{
    plainDebug() << "Ostrel writeIniFileUserInfo" << userId;
    KivOperateIni::instance()->setOption(QStringLiteral("id"), userId, clientInfoGroup());
}

void writeIniFileLiveInfo(const QString &liveId, bool entering)
{
    plainDebug() << "Ostrel writeIniFileLiveInfo" << liveId << entering;
    KivOperateIni::instance()->setOption(QStringLiteral("liveid"), entering ? liveId : QString(), clientInfoGroup());
}

void writeIniFileStreamNodeInfo(const QString &node)
{
    plainDebug() << "Ostrel writeIniFileStreamNodeInfo" << node;
    KivOperateIni::instance()->setOption(QStringLiteral("node"), node, clientInfoGroup());
}

void appendIniFileThirdpartyLogInfo(const QString &path)
{
    plainDebug() << "Ostrel appendIniFileThirdpartyLogInfo" << path;
    KivOperateIni *store = KivOperateIni::instance();
    const QString key = QStringLiteral("thirdpartyLogPath");
    const QString current = store->option(key, clientInfoGroup());

    QString updated;
    if (current.isEmpty()) {
        updated = path;
    } else if (current.indexOf(path, 0, Qt::CaseSensitive) != -1) {
        // Already listed, also as part of a longer path: nothing is written.
        return;
    } else {
        updated = current + QStringLiteral(";%1").arg(path);
    }
    store->setOption(key, updated, clientInfoGroup());
}
