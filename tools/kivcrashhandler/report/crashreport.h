#ifndef KIVCRASHHANDLER_CRASHREPORT_H
#define KIVCRASHHANDLER_CRASHREPORT_H

#include "handlerargs.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

class Session;

// The crash report: one JSON file written into the dump folder when the host ended without saying
// "ExitClient". Its first line is {"summary": "<one line saying what ended the host>", and the
// other members follow in key order (docs/report-format.md has the whole format):
//   "formatVersion" (kFormatVersion), "crash" (how the host ended, its dump and its threads),
//   "appName", "clientName", "handlerParams" [3], "hostPid", "dumpFolder", "hostExecutable",
//   "handlerStartedAt", "hostGoneAt", "writtenAt" (UTC ISO 8601),
//   "session"     the state the messages carried (Session::toJson),
//   "clientInfo"  {"path", "found", "attributes" {name: value}, "error"} from the host's client info
//                 file,
//   "logs"        {"host": tail, "thirdparty": [tail...]}, where a tail is {"path", "found", "size",
//                 "cut", "tail"}: the last kTailBytes of the file as UTF-8 text,
//   "journal"     the path of the session journal,
//   "nameSquatted" only when another user held the handler's server name: {"server", "holder" ("uid
//                 N"), "holderPid" (0 when unknown), "reason", "since", "reclaimedAt" once this handler
//                 served the name after all}; the session is then empty or incomplete;
// and, added by the handler: "environment" (HostProcess), "storage" (PrivateFiles::Folder: the
// folder used, its mode, and in words when it is open to others or a fallback) and "restored"
// (SessionRestore::Result: what an earlier handler's journal or the client info file gave).
namespace CrashReport {

constexpr qint64 kTailBytes = 64 * 1024;
constexpr int kFormatVersion = 2;

struct Context
{
    HandlerArgs args;
    QString hostExecutable; // resolved at start-up while the host still ran; may be empty
    QString homePath;       // where the client info folder is looked for
    QString journalPath;
    QDateTime startedAt;
    QDateTime hostGoneAt;
    QJsonObject nameSquatted; // empty unless another user held the server name
    QJsonObject crash; // what ended the host and what its dump said (capture/capture.h)
    QString summary;   // one line saying that
};

// $HOME/AppData/Local/OstrelSDK/KivClientInfo_<client>_<pid>.xml, or the library's fallback folder
// beside the host executable when only that one exists.
QString clientInfoPath(const Context &context);
QJsonObject readClientInfo(const QString &path);
QJsonObject logTail(const QString &path, qint64 maxBytes = kTailBytes);

QJsonObject build(const Context &context, const Session &session);
// The report's bytes: {"summary": ... on the first line, then the other members indented. The dump
// folder (DumpFolder) names and places them.
QByteArray toBytes(const QJsonObject &report);
// Writes `report` as `path` atomically and privately (PrivateFiles::writeAtomically), for a report
// made outside the dump folder's naming (ostrel-report's symbolized copy); false with *error set.
bool write(const QString &path, const QJsonObject &report, QString *error);

} // namespace CrashReport

#endif // KIVCRASHHANDLER_CRASHREPORT_H
