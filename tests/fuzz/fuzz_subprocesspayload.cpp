// Differential check of the "subProcessInfo@" payload writer against QJsonDocument: for any record
// strings and status, the bytes must equal QJsonDocument::toJson(QJsonDocument::Compact) of the
// same object. Input: byte 0 is the status (signed), bytes 1..6 the lengths (in UTF-16 units, mod
// 24) of appName, dmpPath, role, version, subLogFile and subProcessPid, the rest their UTF-16 units.
// The first call also sweeps every UTF-16 code unit, alone and next to a surrogate.

#include "crashmanage/subprocesspayload.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QByteArray viaQJsonDocument(const SubProcess_Info &r, const QString &subLogFile, const QString &subProcessPid,
                            int status, qint32 beginTime)
{
    QJsonObject payload;
    if (status == 1)
        payload.insert(QStringLiteral("SDKBeginTime"), beginTime);
    payload.insert(QStringLiteral("appName"), r.appName);
    payload.insert(QStringLiteral("dmpPath"), r.dmpPath);
    payload.insert(QStringLiteral("role"), r.role);
    payload.insert(QStringLiteral("status"), status);
    payload.insert(QStringLiteral("subLogFile"), subLogFile);
    payload.insert(QStringLiteral("subProcessPid"), subProcessPid);
    payload.insert(QStringLiteral("version"), r.version);
    return QJsonDocument(payload).toJson(QJsonDocument::Compact);
}

void compare(const SubProcess_Info &r, const QString &subLogFile, const QString &subProcessPid, int status,
             qint32 beginTime)
{
    QByteArray ours;
    appendSubProcessPayload(ours, r, subLogFile, subProcessPid, status, beginTime);
    const QByteArray expected = viaQJsonDocument(r, subLogFile, subProcessPid, status, beginTime);
    if (ours != expected) {
        std::fprintf(stderr, "payload differs\n ours:     %s\n expected: %s\n", ours.toHex().constData(),
                     expected.toHex().constData());
        std::abort();
    }
}

void sweepCodeUnits()
{
    SubProcess_Info r;
    for (uint u = 0; u <= 0xffff; ++u) {
        const QChar c(static_cast<ushort>(u));
        r.appName = QString(c);
        r.dmpPath = QStringLiteral("a") + c + QChar(0xdc00);  // before a low surrogate
        r.role = QString(QChar(0xd83d)) + c;                    // after a high surrogate
        compare(r, QString(c) + c, QString(), int(u) - 0x8000, static_cast<qint32>(u * 65537u));
    }
    compare(r, QString(), QString(), 1, 2147483647);
    compare(r, QString(), QString(), 1, -2147483647 - 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool swept = (sweepCodeUnits(), true);
    (void)swept;
    if (size < 7)
        return 0;
    const int status = static_cast<int8_t>(data[0]);
    int lengths[6];
    for (int i = 0; i < 6; ++i)
        lengths[i] = data[1 + i] % 24;
    size_t pos = 7;
    QString fields[6];
    for (int f = 0; f < 6; ++f) {
        for (int n = 0; n < lengths[f] && pos + 1 < size; ++n, pos += 2)
            fields[f].append(QChar(static_cast<ushort>(data[pos] | (data[pos + 1] << 8))));
    }
    SubProcess_Info r;
    r.appName = fields[0];
    r.dmpPath = fields[1];
    r.role = fields[2];
    r.version = fields[3];
    compare(r, fields[4], fields[5], status, status == 1 ? qint32(pos * 1000003) : 0);
    return 0;
}
