// Sub-process registration: the host's sub-processes get their local-dump settings checked (and
// queued for the registration tool), and each one's pid, log file and status is sent to the crash
// handler as "subProcessInfo@" followed by a compact JSON object, members in ascending key order:
//   {"SDKBeginTime":<secs since epoch, only for status 1>,"appName":…,"dmpPath":…,"role":…,
//    "status":<int>,"subLogFile":…,"subProcessPid":…,"version":…}

#include "crashmanage/crashmanage.h"

#include "crashmanage/werregistration.h"
#include "sdk/sdklog.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <utility>

void CrashManage::setSubProcessInfo(const QList<SubProcess_Info> &subProcesses)
{
    m_subProcesses = subProcesses;
    for (const SubProcess_Info &info : subProcesses) {
        sdkLog(false, Q_FUNC_INFO, "applicationName:", info.appName);
        // The sub-process's name and folder are taken as the host gave them: no ".exe" is added and
        // no separator is converted.
        if (isLocalDumpRegistered(info.appName, info.dmpPath, info.dmpCount, info.dmpType)) {
            sdkLog(false, Q_FUNC_INFO, "dmpCreatePath:", info.dmpPath);
        } else {
            appendWerEntry(m_werEntries, info.appName, info.dmpPath, info.dmpCount, info.dmpType);
            sdkLog(false, Q_FUNC_INFO, "append:", info.appName);
        }
    }
}

void CrashManage::setSubProcessPid(const QString &appName, const QString &subProcessPid,
                                   const QString &subLogFile, int status)
{
    SDK_LOG_LINE(false);
    if (!connectionReady(Q_FUNC_INFO))
        return;

    SubProcess_Info *record = nullptr;
    for (SubProcess_Info &info : m_subProcesses) {
        if (info.appName == appName) {
            record = &info;
            break;
        }
    }
    if (!record)
        return;
    record->subProcessPid = subProcessPid;

    QJsonObject payload;
    if (status == 1)
        payload.insert(QStringLiteral("SDKBeginTime"), static_cast<qint32>(QDateTime::currentSecsSinceEpoch()));
    payload.insert(QStringLiteral("appName"), record->appName);
    payload.insert(QStringLiteral("dmpPath"), record->dmpPath);
    payload.insert(QStringLiteral("role"), record->role);
    payload.insert(QStringLiteral("status"), status);
    payload.insert(QStringLiteral("subLogFile"), subLogFile);
    payload.insert(QStringLiteral("subProcessPid"), subProcessPid);
    payload.insert(QStringLiteral("version"), record->version);

    // toJson gives valid UTF-8 (lone surrogates come out escaped), so the bytes go into the frame as
    // they are; the echo needs the text as a QString and is built only when it is written.
    QByteArray message = QByteArrayLiteral("subProcessInfo@") + QJsonDocument(payload).toJson(QJsonDocument::Compact);
    const QString echo = sdkLogEnabled() ? QString::fromUtf8(message) : QString();
    sendHandlerMessage(std::move(message));
    sdkLog(false, Q_FUNC_INFO, "response:", echo);
}
