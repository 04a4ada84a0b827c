#ifndef KIVCRASHDIALOG_DIALOGCONTRACT_H
#define KIVCRASHDIALOG_DIALOGCONTRACT_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

// The files that pass between the crash handler and KivCrashDialog.exe. The handler writes a
// request into a folder only its user can enter and starts
//     KivCrashDialog.exe --request <request file> --answer <answer file>
// The dialog reads the request, asks the user, writes the answer (0600) and exits. Both files are
// UTF-8 JSON objects with "version" 1; unknown members are ignored, so either side may add some.
//
// Request: {"version", "appName", "summary", "details" (the readable text of what would be sent),
//           "attachments": [{"name", "path", "bytes"}], "reportPath", "hostRanSeconds",
//           "hostExecutable", "restartable", "timeoutSeconds", "handlerPid"}
// Answer:  {"version", "answer": "send" | "decline" | "none", "comment", "email", "alwaysSend",
//           "restart", "elapsedMs", "reason" (why there is no answer; empty otherwise)}
namespace DialogContract {

constexpr int kVersion = 1;
// A dialog left open closes itself with "none" after this long, unless the request asks for
// another bound (at least kMinTimeoutSeconds, at most kMaxTimeoutSeconds).
constexpr int kDefaultTimeoutSeconds = 600;
constexpr int kMinTimeoutSeconds = 1;
constexpr int kMaxTimeoutSeconds = 3600;
// Restart is offered only to a host that ran at least this long, so that a crash at start-up
// cannot restart itself forever.
constexpr double kRestartMinimumRunSeconds = 10.0;
// What the user may type: the comment is cut at this many characters, the e-mail address refused
// past the length an address can have.
constexpr int kMaxCommentChars = 4096;
constexpr int kMaxEmailChars = 254;
// Larger files are refused unread.
constexpr qint64 kMaxRequestBytes = 8 * 1024 * 1024;
constexpr qint64 kMaxAnswerBytes = 256 * 1024;

// Reads at most `maxBytes` of `path`; false with *error when it cannot be read or is larger.
bool readFile(const QString &path, qint64 maxBytes, QByteArray *data, QString *error);
// Writes `data` as `path` in one step (a temporary file renamed over it), readable and writable
// by its owner only. False with *error.
bool writePrivateFile(const QString &path, const QByteArray &data, QString *error);

} // namespace DialogContract

struct DialogAttachment
{
    QString name;
    QString path;
    qint64 bytes = -1; // -1: size unknown
};

struct DialogRequest
{
    QString appName;        // may be empty: the dialog then speaks of "the application"
    QString summary;        // may be empty: the dialog says that the report has none
    QString details;
    QList<DialogAttachment> attachments;
    QString reportPath;
    double hostRanSeconds = -1; // negative: unknown
    QString hostExecutable;     // for the icon
    bool restartable = false;   // the handler knows how to start the host again
    int timeoutSeconds = DialogContract::kDefaultTimeoutSeconds;
    qint64 handlerPid = 0;      // the handler waiting for the answer: the dialog closes once it has
                                // ended, as no one would read the answer (0: not watched)

    // Restart is offered (and then checked) when the host can be started again and ran long enough.
    bool offersRestart() const;

    QByteArray toJson() const;
    // False with *error when `json` is not a request object of a version this side knows. Members
    // of the wrong type count as absent; the time-out is clamped to its bounds.
    static bool fromJson(const QByteArray &json, DialogRequest *request, QString *error);
};

struct DialogAnswer
{
    enum Choice { None, Send, Decline };

    Choice answer = None;
    QString comment;
    QString email;
    bool alwaysSend = false; // only with Send
    bool restart = false;
    qint64 elapsedMs = 0;
    QString reason;

    static QString choiceName(Choice choice);

    QByteArray toJson() const;
    // False with *error when `json` is not an answer object or names no known answer. The comment
    // and e-mail address are held to their bounds whatever the file says.
    static bool fromJson(const QByteArray &json, DialogAnswer *answer, QString *error);
};

Q_DECLARE_METATYPE(DialogAnswer)

#endif // KIVCRASHDIALOG_DIALOGCONTRACT_H
