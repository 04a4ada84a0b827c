#ifndef KIVCRASHHANDLER_PRIVATEFILES_H
#define KIVCRASHHANDLER_PRIVATEFILES_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// Files that hold a user's data (journals, reports, kept cores) are created 0600 whatever the
// umask, and a folder the handler creates is 0700. Every write goes to a plain name inside a folder
// the handler checked: a symbolic link, or a file of another user, planted under that name is
// refused with a reason and never written through. One file per platform:
//   Unix     modes, O_NOFOLLOW and the owner's uid
//   Windows  a protected DACL that lets only the token's user in (a folder's entry inherited by
//            what it holds), links (reparse points) opened as themselves and refused, the owner SID
//            compared with the token's user; "mode" reads 0700 when a folder's DACL lets only this
//            user, SYSTEM and Administrators in, 0777 when it lets anyone else in
namespace PrivateFiles {

// The folder the handler writes into, and what it found there.
struct Folder
{
    QString wanted;         // the dump folder of the command line
    QString path;           // the folder in use
    bool created = false;   // created by this handler, 0700
    int mode = -1;          // the permission bits of the folder in use (Windows: see above)
    QString fallbackReason; // why `wanted` is not used; empty when it is

    bool isFallback() const { return !fallbackReason.isEmpty(); }
    // {"wanted", "path", "created", "mode" (octal text), "private", "note"}: "note" says in words
    // when the folder is open to other users or is the fallback.
    QJsonObject toJson() const;
};

// The per-user folder used when the dump folder cannot be written:
// $XDG_STATE_HOME/OstrelSDK/reports, or ~/.local/state/OstrelSDK/reports; on Windows
// %LOCALAPPDATA%/OstrelSDK/reports.
QString fallbackFolder();

// Makes `path` usable: creates it (and missing parents) 0700 if absent; an existing folder is used
// as it is. False with *error when it is not a folder or cannot be written.
bool ensureFolder(const QString &path, bool *created, int *mode, QString *error);

// The dump folder if it can be used, else the fallback folder (whose failure is in the reason too).
Folder chooseFolder(const QString &wanted);

// Opens `path` for appending (creating it 0600); refuses a symbolic link, a non-regular file and a
// file of another user. Returns the descriptor (a C runtime one on Windows) or -1 with *error set.
int openForAppend(const QString &path, QString *error);
// Opens an existing `path` for reading with the same refusals.
int openForReading(const QString &path, QString *error);

// Writes `data` as `folder`/`name` in one step: a fresh 0600 temporary file in the same folder,
// flushed to disk, then renamed over the name (a link at the name is replaced, not followed).
bool writeAtomically(const QString &folder, const QString &name, const QByteArray &data, QString *error);

} // namespace PrivateFiles

#endif // KIVCRASHHANDLER_PRIVATEFILES_H
