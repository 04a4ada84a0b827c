#include "sdk/sdklog.h"

#include "qtcompat.h"

#include <QByteArray>
#include <QMessageLogger>
#include <QString>
#include <QStringList>

namespace {

// The logging switch: on when the library is loaded, changed only by Ostrel_SDK::logSwitch.
// A plain bool: every call comes from the host's event-loop thread.
bool s_logSwitch = true;

} // namespace

bool sdkLogEnabled()
{
    return s_logSwitch;
}

void sdkSetLogEnabled(bool on)
{
    s_logSwitch = on;
}

QDebug sdkLogLine(bool critical, const char *signature)
{
    // A default-constructed logger attaches no file, line or function context.
    QDebug line = critical ? QMessageLogger().critical() : QMessageLogger().info();
    line << "[OstrelSDk]" << "[" << signature << "]";
    return line;
}

QDebug plainDebug()
{
    return QMessageLogger().debug();
}

void sdkLog(bool critical, const char *signature, const char *text)
{
    if (!s_logSwitch)
        return;
    sdkLogLine(critical, signature) << text;
}

void sdkLog(bool critical, const char *signature, const char *text, const QString &value)
{
    if (!s_logSwitch)
        return;
    sdkLogLine(critical, signature) << text << value;
}

void sdkLog(bool critical, const char *signature, const char *text, const QString &value, bool flag)
{
    if (!s_logSwitch)
        return;
    sdkLogLine(critical, signature) << text << value << flag;
}

void sdkLog(bool critical, const char *signature, const char *text, const QStringList &values)
{
    if (!s_logSwitch)
        return;
    QtCompat::debugList(sdkLogLine(critical, signature) << text, values);
}

void sdkLog(bool critical, const char *signature, const char *text, QLocalSocket::LocalSocketState state)
{
    if (!s_logSwitch)
        return;
    sdkLogLine(critical, signature) << text << state;
}

void sdkLog(bool critical, const char *signature, const char *text, QLocalSocket::LocalSocketError error)
{
    if (!s_logSwitch)
        return;
    sdkLogLine(critical, signature) << text << error;
}

void sdkLog(bool critical, const char *signature, const char *text, const QByteArray &value)
{
    if (!s_logSwitch)
        return;
    sdkLogLine(critical, signature) << text << value;
}

void sdkLog(bool critical, const char *signature, const char *text, int number, const QString &value)
{
    if (!s_logSwitch)
        return;
    sdkLogLine(critical, signature) << text << number << value;
}
