#ifndef OSTREL_SDKLOG_H
#define OSTREL_SDKLOG_H

#include <QDebug>
#include <QLocalSocket>

#include <QByteArray>
#include <QString>
#include <QStringList>

// The SDK log line: "[OstrelSDk]" "[" <signature> "]" <text> <values...>, written through Qt's message
// logging at info level (progress, echo of what was sent) or critical level (failures), with no
// file/line/function context, and only while the logging switch is on. While it is off, nothing of
// the line is built. Callers pass Q_FUNC_INFO as the signature.

bool sdkLogEnabled();
void sdkSetLogEnabled(bool on);

void sdkLog(bool critical, const char *signature, const char *text);
void sdkLog(bool critical, const char *signature, const char *text, const QString &value);
void sdkLog(bool critical, const char *signature, const char *text, const QString &value, bool flag);
void sdkLog(bool critical, const char *signature, const char *text, const QStringList &values);
void sdkLog(bool critical, const char *signature, const char *text, QLocalSocket::LocalSocketState state);
void sdkLog(bool critical, const char *signature, const char *text, QLocalSocket::LocalSocketError error);
void sdkLog(bool critical, const char *signature, const char *text, const QByteArray &value);
void sdkLog(bool critical, const char *signature, const char *text, int number, const QString &value);

// Starts a line with its prefix and signature, for the few lines written in place (no text, or
// values no writer covers). Use through SDK_LOG_LINE so that nothing is built while logging is off.
QDebug sdkLogLine(bool critical, const char *signature);

// Plain debug-level message, not gated by the logging switch and carrying no context.
QDebug plainDebug();

#define SDK_LOG_LINE(critical) \
    if (!sdkLogEnabled()) {    \
    } else                     \
        sdkLogLine((critical), Q_FUNC_INFO)

#endif // OSTREL_SDKLOG_H
