#ifndef KIVCRASHHANDLER_HANDLERMESSAGE_H
#define KIVCRASHHANDLER_HANDLERMESSAGE_H

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

// One frame from the library, decoded. A message is UTF-8 text: a command word, then fields each
// preceded by "@". Fields are not escaped, so a field may itself hold "@"; the parser splits so
// that the fields that can be told apart come out right (see parse()) and keeps the whole text.
struct HandlerMessage
{
    enum Kind {
        Empty,          // a lone terminator: the library's cloud configuration slot with nothing stored
        CloudConfig,    // cloudConfig@config1@config2
        ClientLogin,    // ClientLogin@userId@liveId@flag
        ExceptionCheck, // ExceptionCheck@info1@info2
        StreamNode,     // StreamNode@node@nodeDetail
        ExitClient,     // ExitClient
        SubProcessInfo, // subProcessInfo@{compact JSON object}
        Unknown,
    };

    Kind kind = Empty;
    QString command;      // the word before the first "@" (the whole text when there is none)
    QString text;         // the whole message, decoded (invalid UTF-8 becomes U+FFFD)
    QStringList fields;   // the expected number of fields for the kind, missing ones empty
    QJsonObject payload;  // subProcessInfo only: the parsed object
    QString error;        // why a message of a known kind is malformed; empty when fine
    bool validUtf8 = true;
    int size = 0;         // bytes on the wire, without the terminator

    static HandlerMessage parse(const QByteArray &frame);

    bool isMalformed() const { return !error.isEmpty(); }
    // The short reply line (without its CR) that the handler writes back for this message.
    QByteArray reply() const;
};

// A payload member as text: strings as they are, numbers in full (a pid sent as a number still
// reads back), anything else empty.
QString jsonMemberText(const QJsonValue &value);

#endif // KIVCRASHHANDLER_HANDLERMESSAGE_H
