#ifndef KIVCRASHHANDLER_CRASHEVENT_H
#define KIVCRASHHANDLER_CRASHEVENT_H

#include "deliveryconfig.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// A crash report (docs/report-format.md) turned into what a crash server that speaks the envelope
// protocol takes: one event ("platform": "native", "level": "fatal") with the exception, every
// thread's stack (outermost frame first), the modules' debug ids, contexts, user, tags and extra;
// and one envelope holding the event and its attachments (the report itself, the log tails as
// text, a Windows minidump kept beside the report). Pure, apart from reading the kept minidump.
namespace CrashEvent {

constexpr const char *kClientName = "ostrel.kivcrashhandler";
// A kept minidump larger than this does not travel (the report says where it is).
constexpr qint64 kMaxMinidumpBytes = 16 * 1024 * 1024;

struct Input
{
    QJsonObject report;
    QByteArray reportBytes;   // the file as written
    QString reportName;       // its file name, for the attachment
    QString eventId;          // 32 hex digits
    DeliveryConfig::Config config;
    QString dsnText;          // the DSN the envelope goes to
    int rateLimited = 0;      // reports of this app kept back by the hourly limit since the last delivery
    QJsonObject deliveryExtra; // queue facts (attempt, crash-time consent) for "extra"
    QJsonObject feedback;      // the user's words from the crash dialog: {"name", "email", "comments"}
};

// One attachment of the envelope, and the file it tells of ("" for the report itself).
struct Attachment
{
    QString name;
    QByteArray payload;
    QString contentType;
    QString type; // "attachment_type", empty for a plain attachment
    QString path;
};

// ELF's debug id is the capture's (DumpReader::debugIdFromBuildId), the one the report carries.
// PE: the CodeView GUID and age as the report's "buildId" gives them (32 hex digits of the GUID in
// field order, then the age in hex) as "<guid>-<age>"; empty when it is none.
QString peDebugId(const QString &codeView);
// Is this module one of the system's (not the application's own code)?
bool isSystemModule(const QString &file);

// Whether the report is one to deliver: a crash (its kind "crashed").
bool isCrash(const QJsonObject &report);

QJsonObject event(const Input &input);
// The attachments that go with the event, in the envelope's order.
QList<Attachment> attachments(const Input &input);
// The envelope's bytes (before compression): the event, the user's feedback as a "user_report"
// item when there is one, then the attachments.
QByteArray envelope(const Input &input, const QJsonObject &event);
// What the envelope says, for a person: the event and the feedback as indented JSON, then one line
// per attachment with its size. Shown by the crash dialog's "Details".
QString readable(const Input &input, const QJsonObject &event);
// gzip (RFC 1952) with zlib; empty on failure.
QByteArray gzip(const QByteArray &data);
QByteArray gunzip(const QByteArray &data, qint64 maxBytes);

} // namespace CrashEvent

#endif // KIVCRASHHANDLER_CRASHEVENT_H
