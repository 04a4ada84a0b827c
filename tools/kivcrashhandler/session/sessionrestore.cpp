#include "session/sessionrestore.h"

#include "processstart.h"
#include "protocol/handlermessage.h"
#include "storage/privatefiles.h"
#include "session/session.h"
#include "host/useridentity.h"

#include <QDateTime>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

constexpr qint64 kMaxJournalRead = 64 * 1024 * 1024;

} // namespace

// static
namespace SessionRestore {

QJsonObject Result::toJson() const
{
    return QJsonObject {
        {QStringLiteral("source"), source},
        {QStringLiteral("path"), path},
        {QStringLiteral("messages"), messages},
        {QStringLiteral("notes"), QJsonArray::fromStringList(notes)},
    };
}

Result fromJournal(const QString &path, const HostIdentity &host, Session *session)
{
    Result result;
    if (!QFileInfo(path).exists() && !QFileInfo(path).isSymLink())
        return result;
    QString error;
    const int fd = PrivateFiles::openForReading(path, &error);
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        result.notes.append(QStringLiteral("earlier journal not read: ") + error);
        return result;
    }
    QByteArray bytes = file.read(kMaxJournalRead);
    const int lastNewline = bytes.lastIndexOf('\n');
    if (lastNewline + 1 < bytes.size()) {
        result.notes.append(QStringLiteral("earlier journal: partial last line (%1 bytes) ignored").arg(bytes.size() - lastNewline - 1));
        bytes.truncate(lastNewline + 1);
    }
    if (host.startedAt.isEmpty())
        result.notes.append(QStringLiteral("earlier journal not used: the host's start time is unknown"));

    bool matching = false;
    int damaged = 0;
    session->setRestoring(true);
    for (const QByteArray &line : bytes.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (entry.isEmpty()) {
            ++damaged;
            continue;
        }
        result.lastSequence = qMax(result.lastSequence, qint64(entry.value(QStringLiteral("seq")).toDouble()));
        const QString event = entry.value(QStringLiteral("event")).toString();
        if (event == QLatin1String("start")) {
            matching = host.matches(entry);
            result.sameHost |= matching;
            result.otherHost |= !matching;
        } else if (!matching) {
            continue;
        } else if (event == QLatin1String("message") && !entry.contains(QStringLiteral("textCut"))) {
            session->apply(HandlerMessage::parse(entry.value(QStringLiteral("text")).toString().toUtf8()));
            ++result.messages;
        } else if (event == QLatin1String("subProcessExited")) {
            session->noteSubProcessExit(qint64(entry.value(QStringLiteral("pid")).toDouble()),
                                        QDateTime::fromString(entry.value(QStringLiteral("exitedAt")).toString(), Qt::ISODateWithMs));
        }
    }
    session->setRestoring(false);
    if (damaged > 0)
        result.notes.append(QStringLiteral("earlier journal: %1 damaged line(s) skipped").arg(damaged));
    if (result.otherHost && !host.startedAt.isEmpty())
        result.notes.append(QStringLiteral("earlier journal holds lines of another host process (same pid, other start time or user): not restored from them"));
    if (result.messages > 0) {
        result.source = QStringLiteral("journal");
        result.path = path;
    }
    return result;
}

bool fromClientInfo(const QString &path, const HostIdentity &host, Session *session, Result *result)
{
    // None yet is the usual case for a first handler: the host writes it after StartCrash.
    if (!QFileInfo(path).exists() && !QFileInfo(path).isSymLink())
        return false;
    QString error;
    const int fd = PrivateFiles::openForReading(path, &error);
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        result->notes.append(QStringLiteral("client info file not used: ") + error);
        return false;
    }
    const QDateTime started = QDateTime::fromString(host.startedAt, Qt::ISODateWithMs);
    if (!started.isValid()
        || QFileInfo(path).lastModified().toMSecsSinceEpoch() < started.toMSecsSinceEpoch() - kProcessStartSlackMs) {
        result->notes.append(QStringLiteral("client info file not used: it was not written by this host process"));
        return false;
    }
    QDomDocument doc;
    QString parseError;
    if (!doc.setContent(&file, false, &parseError)) {
        result->notes.append(QStringLiteral("client info file not used: not well-formed XML: ") + parseError);
        return false;
    }
    const QDomElement root = doc.documentElement();
    // The file holds no live flag and no node detail: those stay empty.
    QList<QByteArray> messages;
    if (!root.attribute(QStringLiteral("id")).isEmpty())
        messages.append("ClientLogin@" + root.attribute(QStringLiteral("id")).toUtf8() + '@'
                        + root.attribute(QStringLiteral("liveid")).toUtf8() + '@');
    if (root.hasAttribute(QStringLiteral("node")))
        messages.append("StreamNode@" + root.attribute(QStringLiteral("node")).toUtf8() + '@');
    if (messages.isEmpty())
        return false;
    session->setRestoring(true);
    for (const QByteArray &message : messages)
        session->apply(HandlerMessage::parse(message));
    session->setRestoring(false);
    result->source = QStringLiteral("clientInfo");
    result->path = path;
    return true;
}

} // namespace SessionRestore
