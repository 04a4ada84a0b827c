// Sub-process registration: the host's sub-processes get their local-dump settings checked (and
// queued for the registration tool), and each one's pid, log file and status is sent to the crash
// handler as "subProcessInfo@" followed by a compact JSON object, members in ascending key order:
//   {"SDKBeginTime":<secs since epoch, only for status 1>,"appName":…,"dmpPath":…,"role":…,
//    "status":<int>,"subLogFile":…,"subProcessPid":…,"version":…}

#include "crashmanage/crashmanage.h"

#include "crashmanage/subprocesspayload.h"
#include "crashmanage/werregistration.h"
#include "sdk/sdklog.h"

#include <QDateTime>

#include <utility>

namespace {

// A JSON string as QJsonDocument writes it: '"' and '\\' escaped, \b \f \n \r \t as such, other
// control characters as \u00xx, a lone surrogate as \uxxxx (lower-case hex), everything else as
// UTF-8 (a valid surrogate pair as one 4-byte sequence).
void appendJsonString(QByteArray &out, const QString &text)
{
    static const char hex[] = "0123456789abcdef";
    const auto appendUnicodeEscape = [&out](ushort u) {
        const char escape[6] = {'\\', 'u', hex[(u >> 12) & 0xf], hex[(u >> 8) & 0xf], hex[(u >> 4) & 0xf], hex[u & 0xf]};
        out.append(escape, 6);
    };
    out.append('"');
    const QChar *chars = text.constData();
    const int size = text.size();
    for (int i = 0; i < size; ++i) {
        const ushort u = chars[i].unicode();
        if (u < 0x80) {
            switch (u) {
            case '"': out.append("\\\"", 2); break;
            case '\\': out.append("\\\\", 2); break;
            case '\b': out.append("\\b", 2); break;
            case '\f': out.append("\\f", 2); break;
            case '\n': out.append("\\n", 2); break;
            case '\r': out.append("\\r", 2); break;
            case '\t': out.append("\\t", 2); break;
            default:
                if (u < 0x20)
                    appendUnicodeEscape(u);
                else
                    out.append(char(u));
            }
        } else if (u < 0x800) {
            out.append(char(0xc0 | (u >> 6)));
            out.append(char(0x80 | (u & 0x3f)));
        } else if (QChar::isSurrogate(u)) {
            if (QChar::isHighSurrogate(u) && i + 1 < size && chars[i + 1].isLowSurrogate()) {
                const uint code = QChar::surrogateToUcs4(u, chars[i + 1].unicode());
                ++i;
                out.append(char(0xf0 | (code >> 18)));
                out.append(char(0x80 | ((code >> 12) & 0x3f)));
                out.append(char(0x80 | ((code >> 6) & 0x3f)));
                out.append(char(0x80 | (code & 0x3f)));
            } else {
                appendUnicodeEscape(u);
            }
        } else {
            out.append(char(0xe0 | (u >> 12)));
            out.append(char(0x80 | ((u >> 6) & 0x3f)));
            out.append(char(0x80 | (u & 0x3f)));
        }
    }
    out.append('"');
}

} // namespace

void appendSubProcessPayload(QByteArray &out, const SubProcess_Info &record, const QString &subLogFile,
                             const QString &subProcessPid, int status, qint32 beginTime)
{
    out.reserve(out.size() + 128
                + 3 * (record.appName.size() + record.dmpPath.size() + record.role.size() + subLogFile.size()
                       + subProcessPid.size() + record.version.size()));
    out.append('{');
    if (status == 1) {
        out.append("\"SDKBeginTime\":");
        out.append(QByteArray::number(beginTime));
        out.append(',');
    }
    out.append("\"appName\":");
    appendJsonString(out, record.appName);
    out.append(",\"dmpPath\":");
    appendJsonString(out, record.dmpPath);
    out.append(",\"role\":");
    appendJsonString(out, record.role);
    out.append(",\"status\":");
    out.append(QByteArray::number(status));
    out.append(",\"subLogFile\":");
    appendJsonString(out, subLogFile);
    out.append(",\"subProcessPid\":");
    appendJsonString(out, subProcessPid);
    out.append(",\"version\":");
    appendJsonString(out, record.version);
    out.append('}');
}

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

    const qint32 beginTime = status == 1 ? static_cast<qint32>(QDateTime::currentSecsSinceEpoch()) : 0;
    QByteArray message("subProcessInfo@");
    appendSubProcessPayload(message, *record, subLogFile, subProcessPid, status, beginTime);
    // The echo needs the text as a QString: built only when it is written.
    const QString echo = sdkLogEnabled() ? QString::fromUtf8(message) : QString();
    sendHandlerMessage(std::move(message));
    sdkLog(false, Q_FUNC_INFO, "response:", echo);
}
