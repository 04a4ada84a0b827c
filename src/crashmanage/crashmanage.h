#ifndef OSTREL_CRASHMANAGE_H
#define OSTREL_CRASHMANAGE_H

#include <OstrelSDK/ostrelsdk.h>

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QLocalSocket>
#include <QObject>
#include <QProcess>
#include <QString>

// The one object that supervises the crash handler: records the start parameters, launches the
// handler, connects to it, retries and relaunches on a fixed budget, and writes every handler
// message. Created on first use by instance(), never deleted; lives on the thread that first called
// into the library, whose event loop drives its timers and socket. Not thread-safe by design.
class CrashManage : public QObject
{
    Q_OBJECT

public:
    static CrashManage *instance();
    ~CrashManage() override;

    void setLogSwitch(bool on);

    // Start-up (crashmanage.cpp)
    void startDetach(const QString &clientName, const QString &handlerParam1,
                     const QString &handlerParam2, const QString &dumpPath, int dumpCount,
                     int dumpType, const QString &handlerParam3);

    // Host-triggered handler messages (crashmanage_messages.cpp)
    void clientLogin(const QString &userId);
    void enterLive(const QString &liveId, bool liveFlag);
    void checkExceptionInfos(const QString &info1, const QString &info2);
    void streamNode(const QString &node, const QString &nodeDetail);
    void setCloudInfoConfig(const QString &config1, const QString &config2);
    void exitClient();

    // Sub-processes (crashmanage_subprocess.cpp)
    void setSubProcessInfo(const QList<SubProcess_Info> &subProcesses);
    void setSubProcessPid(const QString &appName, const QString &subProcessPid,
                          const QString &subLogFile, int status);

private slots:
    // The connection to the crash handler (crashmanage_connection.cpp)
    void onConnectToServer();
    void onConnected();
    void onDisconnected();
    void onSocketReadyReadHandler();
    void onSocketErrorHandler(QLocalSocket::LocalSocketError socketError);
    void onSendInitMessage();

public slots:
    // Notifications of m_process, which never runs anything.
    void onReadyReadStandardError();
    void onReadyReadStandardOutput();
    void onAppFinished(int exitCode, QProcess::ExitStatus exitStatus);

private:
    explicit CrashManage(QObject *parent = nullptr);

    void actualStart();
    void startProcessHandler();

    void tryConnectHandler();
    void sendCloudInfoConfig();
    void sendClientLoginInfo();
    // Takes the message by value: a temporary (the usual toUtf8() result) becomes the frame
    // without another copy.
    bool sendHandlerMessage(QByteArray message);

    // The connection guard shared by every host-triggered message: the socket must exist and be
    // connected. Logs the refusal with the caller's signature.
    bool connectionReady(const char *caller) const;
    // Write a message that passed the guard, then echo it in the "response:" line.
    void sendCheckedMessage(const char *caller, const QString &message);

    QLocalSocket *m_socket = nullptr;
    QProcess *m_process = nullptr;
    QString m_pid;
    QString m_clientName;
    QString m_handlerParam1;
    QString m_handlerParam2;
    QString m_userId;
    QString m_liveId;
    QString m_dmpPath;
    QString m_handlerParam3;
    int m_dumpCount = 255;
    int m_dumpType = 2;
    QJsonArray m_werEntries;
    QList<SubProcess_Info> m_subProcesses;
    QString m_cloudConfigMessage;
    bool m_loginSent = false;

    Q_DISABLE_COPY(CrashManage)
};

#endif // OSTREL_CRASHMANAGE_H
