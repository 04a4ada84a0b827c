#ifndef KIVCRASHHANDLER_SESSION_H
#define KIVCRASHHANDLER_SESSION_H

#include "protocol/handlermessage.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// What the host has told the handler so far, built from the messages in the order they arrived.
// Pure state: no I/O. Lists are capped so that a peer cannot make it grow without bound.
class Session
{
public:
    static constexpr int kMaxExceptionChecks = 64;
    static constexpr int kMaxSubProcesses = 64;

    struct SubProcess
    {
        QString appName;
        QString pidText;       // as the host sent it
        qint64 pid = 0;        // the usable process id, 0 when pidText is not one
        QString role;
        QString version;
        QString dmpPath;
        QString subLogFile;
        int status = 0;
        qint64 sdkBeginTime = -1; // seconds since 1970 (UTC), sent with status 1
        QDateTime exitedAt;       // set when the process was seen to end while the host lived
        bool restored = false;    // learnt from an earlier handler, not from the host
        QJsonObject end;          // how it ended and what its dump said (a report's "crash" member)
    };

    // Applies one message. Malformed and unknown messages are counted and otherwise ignored.
    void apply(const HandlerMessage &message);
    void noteOversizeFrame() { ++m_droppedFrames; }
    // While on, applied values count as restored (from an earlier handler's journal or the client
    // info file): toJson marks them until a message of the host replaces them.
    void setRestoring(bool on) { m_restoring = on; }
    // Marks the sub-process with this pid as gone; returns its name (empty if none matches).
    QString noteSubProcessExit(qint64 pid, const QDateTime &when);
    // Records how the sub-process that ended ended (set once; later calls change nothing).
    void noteSubProcessEnd(qint64 pid, const QJsonObject &end);
    // Pids of registered sub-processes not yet seen to end.
    QList<qint64> runningSubProcessPids() const;

    bool exitClientReceived() const { return m_exitClient; }
    // All that followed "cloudConfig@" in the latest such message (a DSN holds an "@" too).
    const QString &cloudConfigText() const { return m_cloudConfigText; }
    int messageCount() const { return m_messages; }
    const QList<SubProcess> &subProcesses() const { return m_subProcesses; }

    QJsonObject toJson() const;

private:
    void applySubProcess(const QJsonObject &payload);
    void noteOrigin(HandlerMessage::Kind kind);

    bool m_hasCloudConfig = false;
    QString m_config1;
    QString m_config2;
    QString m_cloudConfigText;
    bool m_hasLogin = false;
    QString m_userId;
    QString m_liveId;
    QString m_liveFlag;
    bool m_hasStreamNode = false;
    QString m_node;
    QString m_nodeDetail;
    QList<QPair<QString, QString>> m_exceptionChecks; // the latest kMaxExceptionChecks
    int m_exceptionCheckCount = 0;
    QList<SubProcess> m_subProcesses;
    bool m_exitClient = false;

    int m_messages = 0;
    int m_emptyFrames = 0;
    int m_unknown = 0;
    int m_malformed = 0;
    int m_invalidUtf8 = 0;
    int m_droppedFrames = 0;
    int m_subProcessesIgnored = 0;

    bool m_restoring = false;
    QStringList m_restoredFields;       // session members whose value is restored
    int m_restoredExceptionChecks = 0;  // how many of the first exception checks are restored
};

#endif // KIVCRASHHANDLER_SESSION_H
