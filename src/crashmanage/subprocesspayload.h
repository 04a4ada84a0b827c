#ifndef OSTREL_SUBPROCESSPAYLOAD_H
#define OSTREL_SUBPROCESSPAYLOAD_H

#include <OstrelSDK/ostrelsdk.h>

#include <QByteArray>

// Appends to `out` the JSON object that follows "subProcessInfo@", as UTF-8: compact, members in ascending key
// order, byte for byte what QJsonDocument::toJson(QJsonDocument::Compact) writes for the same
// object, but written straight out (the QJsonObject route costs several times the socket write on
// the host thread). "SDKBeginTime" (= beginTime) is present only when status is 1.
void appendSubProcessPayload(QByteArray &out, const SubProcess_Info &record, const QString &subLogFile,
                             const QString &subProcessPid, int status, qint32 beginTime);

#endif // OSTREL_SUBPROCESSPAYLOAD_H
