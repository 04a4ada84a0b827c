#include "session/session.h"

#include <QJsonArray>

namespace {

// A pid the handler can watch: a whole decimal number above 0 that fits a pid_t.
qint64 usablePid(const QString &text)
{
    bool ok = false;
    const qint64 pid = text.trimmed().toLongLong(&ok);
    return (ok && pid > 0 && pid <= 0x3fffffff) ? pid : 0;
}

QJsonValue orNull(bool present, const QJsonValue &value)
{
    return present ? value : QJsonValue(QJsonValue::Null);
}

} // namespace

void Session::apply(const HandlerMessage &message)
{
    ++m_messages;
    if (!message.validUtf8)
        ++m_invalidUtf8;
    if (message.isMalformed()) {
        ++m_malformed;
        return;
    }

    switch (message.kind) {
    case HandlerMessage::Empty:
        ++m_emptyFrames;
        break;
    case HandlerMessage::CloudConfig:
        m_hasCloudConfig = true;
        m_config1 = message.fields.value(0);
        m_config2 = message.fields.value(1);
        m_cloudConfigText = message.text.section(QLatin1Char('@'), 1);
        break;
    case HandlerMessage::ClientLogin:
        m_hasLogin = true;
        m_userId = message.fields.value(0);
        m_liveId = message.fields.value(1);
        m_liveFlag = message.fields.value(2);
        break;
    case HandlerMessage::ExceptionCheck:
        ++m_exceptionCheckCount;
        m_exceptionChecks.append(qMakePair(message.fields.value(0), message.fields.value(1)));
        if (m_exceptionChecks.size() > kMaxExceptionChecks) {
            m_exceptionChecks.removeFirst();
            m_restoredExceptionChecks = qMax(0, m_restoredExceptionChecks - 1);
        }
        break;
    case HandlerMessage::StreamNode:
        m_hasStreamNode = true;
        m_node = message.fields.value(0);
        m_nodeDetail = message.fields.value(1);
        break;
    case HandlerMessage::ExitClient:
        m_exitClient = true;
        break;
    case HandlerMessage::SubProcessInfo:
        applySubProcess(message.payload);
        break;
    case HandlerMessage::Unknown:
        ++m_unknown;
        break;
    }
    noteOrigin(message.kind);
}

void Session::noteOrigin(HandlerMessage::Kind kind)
{
    QString field;
    switch (kind) {
    case HandlerMessage::CloudConfig: field = QStringLiteral("cloudConfig"); break;
    case HandlerMessage::ClientLogin: field = QStringLiteral("login"); break;
    case HandlerMessage::StreamNode: field = QStringLiteral("streamNode"); break;
    case HandlerMessage::ExitClient: field = QStringLiteral("exitClient"); break;
    case HandlerMessage::ExceptionCheck:
        if (m_restoring)
            m_restoredExceptionChecks = m_exceptionChecks.size();
        return;
    default:
        return;
    }
    m_restoredFields.removeAll(field);
    if (m_restoring)
        m_restoredFields.append(field);
}

// One record per executable name: a later report for the same name (a restarted worker, a status
// change) replaces the earlier one.
void Session::applySubProcess(const QJsonObject &payload)
{
    SubProcess sub;
    sub.appName = jsonMemberText(payload.value(QStringLiteral("appName")));
    sub.pidText = jsonMemberText(payload.value(QStringLiteral("subProcessPid")));
    sub.pid = usablePid(sub.pidText);
    sub.role = jsonMemberText(payload.value(QStringLiteral("role")));
    sub.version = jsonMemberText(payload.value(QStringLiteral("version")));
    sub.dmpPath = jsonMemberText(payload.value(QStringLiteral("dmpPath")));
    sub.subLogFile = jsonMemberText(payload.value(QStringLiteral("subLogFile")));
    sub.status = payload.value(QStringLiteral("status")).toInt();
    sub.restored = m_restoring;
    const QJsonValue begin = payload.value(QStringLiteral("SDKBeginTime"));
    if (begin.isDouble())
        sub.sdkBeginTime = qint64(begin.toDouble());

    for (SubProcess &known : m_subProcesses) {
        if (known.appName == sub.appName) {
            // A late report about a process already seen to end does not bring it back.
            if (sub.pid == known.pid && known.exitedAt.isValid()) {
                sub.exitedAt = known.exitedAt;
                sub.end = known.end;
            }
            known = sub;
            return;
        }
    }
    if (m_subProcesses.size() >= kMaxSubProcesses) {
        ++m_subProcessesIgnored;
        return;
    }
    m_subProcesses.append(sub);
}

QString Session::noteSubProcessExit(qint64 pid, const QDateTime &when)
{
    for (SubProcess &sub : m_subProcesses) {
        if (sub.pid == pid && !sub.exitedAt.isValid()) {
            sub.exitedAt = when;
            return sub.appName;
        }
    }
    return QString();
}

void Session::noteSubProcessEnd(qint64 pid, const QJsonObject &end)
{
    for (SubProcess &sub : m_subProcesses) {
        if (sub.pid == pid && sub.exitedAt.isValid() && sub.end.isEmpty()) {
            sub.end = end;
            return;
        }
    }
}

QList<qint64> Session::runningSubProcessPids() const
{
    QList<qint64> pids;
    for (const SubProcess &sub : m_subProcesses) {
        if (sub.pid > 0 && !sub.exitedAt.isValid())
            pids.append(sub.pid);
    }
    return pids;
}

QJsonObject Session::toJson() const
{
    QJsonObject cloud {{QStringLiteral("config1"), m_config1}, {QStringLiteral("config2"), m_config2}};
    QJsonObject login {
        {QStringLiteral("userId"), m_userId},
        {QStringLiteral("liveId"), m_liveId},
        {QStringLiteral("liveFlag"), m_liveFlag},
    };
    QJsonObject node {{QStringLiteral("node"), m_node}, {QStringLiteral("nodeDetail"), m_nodeDetail}};

    QJsonArray checks;
    for (const auto &check : m_exceptionChecks) {
        QJsonObject o {{QStringLiteral("info1"), check.first}, {QStringLiteral("info2"), check.second}};
        if (checks.size() < m_restoredExceptionChecks)
            o.insert(QStringLiteral("restored"), true);
        checks.append(o);
    }

    QJsonArray subs;
    for (const SubProcess &sub : m_subProcesses) {
        QJsonObject o {
            {QStringLiteral("appName"), sub.appName},
            {QStringLiteral("pid"), sub.pidText},
            {QStringLiteral("role"), sub.role},
            {QStringLiteral("version"), sub.version},
            {QStringLiteral("dmpPath"), sub.dmpPath},
            {QStringLiteral("subLogFile"), sub.subLogFile},
            {QStringLiteral("status"), sub.status},
            {QStringLiteral("exitedWhileHostRan"), sub.exitedAt.isValid()},
        };
        if (sub.restored)
            o.insert(QStringLiteral("restored"), true);
        if (sub.sdkBeginTime >= 0)
            o.insert(QStringLiteral("sdkBeginTime"), double(sub.sdkBeginTime));
        if (sub.exitedAt.isValid())
            o.insert(QStringLiteral("exitedAt"), sub.exitedAt.toUTC().toString(Qt::ISODateWithMs));
        if (!sub.end.isEmpty())
            o.insert(QStringLiteral("end"), sub.end);
        subs.append(o);
    }

    QStringList restoredFields = m_restoredFields;
    restoredFields.sort();

    QJsonObject counts {
        {QStringLiteral("messages"), m_messages},
        {QStringLiteral("emptyFrames"), m_emptyFrames},
        {QStringLiteral("unknownCommands"), m_unknown},
        {QStringLiteral("malformed"), m_malformed},
        {QStringLiteral("invalidUtf8"), m_invalidUtf8},
        {QStringLiteral("oversizeFramesDropped"), m_droppedFrames},
        {QStringLiteral("exceptionChecks"), m_exceptionCheckCount},
        {QStringLiteral("subProcessesIgnored"), m_subProcessesIgnored},
    };

    return QJsonObject {
        {QStringLiteral("cloudConfig"), orNull(m_hasCloudConfig, cloud)},
        {QStringLiteral("login"), orNull(m_hasLogin, login)},
        {QStringLiteral("streamNode"), orNull(m_hasStreamNode, node)},
        {QStringLiteral("exceptionChecks"), checks},
        {QStringLiteral("subProcesses"), subs},
        {QStringLiteral("exitClient"), m_exitClient},
        {QStringLiteral("counts"), counts},
        {QStringLiteral("restored"), QJsonArray::fromStringList(restoredFields)},
    };
}
