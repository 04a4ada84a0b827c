#ifndef KIVCRASHHANDLER_SESSIONRESTORE_H
#define KIVCRASHHANDLER_SESSIONRESTORE_H

#include "host/hostprocess.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

class Session;

// A handler started again for a host that an earlier handler served (the library relaunches it
// when it stops answering) learns what the earlier one was told: the login goes only once per host
// process, so without this the report would lack it. The values come, in this order of trust,
// from the earlier handler's journal lines of the same host (same pid, start time and user), or
// else from the host's client info file (user id, live id, stream node). Restored values are
// marked as such in the session (Session::setRestoring).
namespace SessionRestore {

struct Result
{
    QString source;          // "journal", "clientInfo", or empty when nothing was restored
    QString path;            // the file it came from
    int messages = 0;        // messages replayed from the journal
    qint64 lastSequence = 0; // the highest "seq" in the journal
    bool sameHost = false;   // the journal holds lines of this host
    bool otherHost = false;  // ... and/or of an earlier process with the same pid or of another user
    QStringList notes;       // stated reasons for what was skipped or not used

    QJsonObject toJson() const; // {"source", "path", "messages", "notes"}
};

// Replays the matching lines of the journal at `path` into `session`. A partial last line (the
// earlier handler died writing it) ends the reading; a damaged line before it is skipped. A file
// that is a link, not a regular file or another user's is not read (a note says why).
Result fromJournal(const QString &path, const HostIdentity &host, Session *session);

// Restores the login and stream node from the client info file when the journal gave nothing. The
// file must be a regular file of this user written since the host started; a corrupt one is not
// used; a missing one is no note (a first handler usually starts before the host writes it). Returns
// true when something was restored; notes go to `result`.
bool fromClientInfo(const QString &path, const HostIdentity &host, Session *session, Result *result);

} // namespace SessionRestore

#endif // KIVCRASHHANDLER_SESSIONRESTORE_H
