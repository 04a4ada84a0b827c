#ifndef KIVCRASHHANDLER_DELIVERY_H
#define KIVCRASHHANDLER_DELIVERY_H

#include "crashevent.h"
#include "deliveryconfig.h"
#include "deliveryqueue.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QStringList>
#include <QThreadPool>

#include <functional>

class QLockFile;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class NetWorkHelper;

// Delivers the handler's crash reports to the crash server the application's team runs (any server
// of the envelope protocol), only with the user's consent, through a queue on disk that outlives
// the handler (deliveryqueue.h). One request at a time, from the handler's event loop; reading a
// report, building and compressing its envelope and writing the queue entries happen on a thread of
// their own, so that listening and the host's messages are not held up.
//
// Policy (docs/delivery.md):
//   - consent: a report is queued only when a valid DSN is set and upload is on (or ask, which keeps
//     it queued unsent until the user says yes); it is sent only while upload=on is in force and was
//     in force at crash time, or after the user's yes while upload=off is not in force;
//   - accepted (2xx): the server's id goes into the entry and the journal; refused for good (4xx
//     other than 408/429, 413, a redirect): the reason is kept, the report stays local;
//   - temporary failures (network, TLS, time-out, 5xx, 408, 429): retried after kBaseDelayMs doubled
//     per attempt (capped at kMaxDelayMs), with +-20 % jitter, never sooner than Retry-After or
//     X-Sentry-Rate-Limits say; at most kMaxAttempts attempts within kMaxAgeDays, then it stays local;
//   - at most `ratelimit` reports (default kDefaultPerHour) of the application delivered per hour;
//     the others stay local and are counted in the next delivered event;
//   - two handlers never send the same report at once: a lock file beside the entry while it is sent.
class Delivery : public QObject
{
    Q_OBJECT

public:
    using JournalHook = std::function<void(const QString &event, const QJsonObject &fields)>;

    static constexpr int kRequestTimeoutMs = 15000;
    static constexpr qint64 kBaseDelayMs = 1000;
    static constexpr qint64 kMaxDelayMs = 6 * 3600 * 1000;
    static constexpr int kMaxAttempts = 20;
    static constexpr int kMaxAgeDays = 14;
    static constexpr int kDefaultPerHour = 20;
    static constexpr qint64 kMaxAnswerBytes = 64 * 1024;
    static constexpr qint64 kMaxEnvelopeBytes = 20 * 1024 * 1024;
    // How long a handler whose host has ended stays for deliveries that are due.
    static constexpr int kLingerMs = 10000;

    Delivery(const QString &folder, const QString &appName, JournalHook journal, QObject *parent = nullptr);
    ~Delivery() override;

    void setHandlerParameters(const QStringList &parameters);
    // The whole text of a "cloudConfig" message after "cloudConfig@" (see cloudConfigItems()).
    void setCloudConfig(const QString &fields);
    DeliveryConfig::Config config() const { return m_config; }

    // A report was written: a crash of the host is queued (and sent) when consent allows.
    void reportWritten(const QString &reportPath);
    // The same under the configuration of the session it came from (a later handler finished it).
    void reportWritten(const QString &reportPath, const DeliveryConfig::Config &config);
    // What the user typed into the crash dialog, sent as the event's user feedback.
    struct Feedback
    {
        QString name;
        QString email;
        QString comments;
    };

    // Whether this report is queued waiting for the user's answer to "ask".
    bool awaitsAnswer(const QString &reportPath) const;
    // For the crash dialog's "Details": what would be sent for a report that awaits an answer, in
    // readable form, and its attachments. False when there is no such report.
    bool preview(const QString &reportPath, QString *details, QList<CrashEvent::Attachment> *attachments) const;
    // The user's answer to "ask" for this report (from the crash dialog): yes lets it go, with the
    // feedback, unless upload=off is in force when it is due; no keeps it local for good.
    void userAnswered(const QString &reportPath, bool send, const Feedback &feedback = Feedback());
    // No answer came (no display, no dialog, the dialog's time-out): the report stays queued,
    // unsent, and its entry says why.
    void noAnswer(const QString &reportPath, const QString &reason);
    // Picks up what earlier handlers of this application left queued in the folder.
    void start();
    // The handler is about to end: done() once nothing due is left to send (at most `maxWaitMs`).
    void finish(int maxWaitMs = kLingerMs);

signals:
    void done();
    void delivered(const QString &eventId, const QString &serverId);

private slots:
    void pickUp();
    void sendDue();
    void emitDone();
    void onReplyFinished();
    void onAnswer(bool success, const QJsonObject &result, const QString &message);
    void onDownloadProgress(qint64 received, qint64 total);
#if QT_CONFIG(ssl)
    void onTlsErrors(const QList<QSslError> &errors);
#endif

private:
    struct Prepared
    {
        DeliveryQueue::Entry entry; // its attempt counted
        QByteArray body;            // the compressed envelope
        QString reason;             // why it will not go (then `state`)
        DeliveryQueue::Entry::State state = DeliveryQueue::Entry::Refused;
    };
    struct Flight
    {
        bool busy = false;          // an entry is being prepared or sent
        QNetworkReply *reply = nullptr;
        DeliveryQueue::Entry entry;
        QLockFile *lock = nullptr;
        qint64 startedMs = 0;
        int status = 0;
        int networkError = 0;
        QString errorText;
        QStringList tlsErrors;      // why the server's certificate was not trusted
        QByteArray retryAfter;
        QByteArray rateLimits;
        QString redirect;
        bool answerTooLarge = false;
        int counted = 0;
        QStringList countedPaths;
    };

    void configChanged();
    void loadQueue();
    void schedule();
    bool sendAllowedNow(const DeliveryQueue::Entry &entry) const;
    bool send(DeliveryQueue::Entry entry);
    static CrashEvent::Input eventInput(const DeliveryQueue::Entry &entry, const QJsonObject &report, const QByteArray &bytes);
    static Prepared prepare(DeliveryQueue::Entry entry, int rateLimited);
    int askedIndex(const QString &reportPath) const;
    void onPrepared(const Prepared &prepared);
    void release(QLockFile *lock);
    void conclude(DeliveryQueue::Entry entry, DeliveryQueue::Entry::State state, const QString &reason);
    void retryLater(DeliveryQueue::Entry entry, const QString &reason, qint64 serverDelayMs);
    void save(const DeliveryQueue::Entry &entry); // on the disk thread, in order
    int deliveredInLastHour() const;
    int perHour() const;
    void checkFinished();

    QString m_folder;
    QString m_app;
    JournalHook m_journal;
    QStringList m_parameters;
    QString m_cloud;
    DeliveryConfig::Config m_config;
    QString m_reportedDsnError;
    QList<DeliveryQueue::Entry> m_queue;   // this application's queued entries
    QStringList m_uncounted;               // rate-limited entries not yet counted in a delivered event
    QList<QDateTime> m_deliveredAt;        // this application's deliveries, for the hourly limit
    QDateTime m_blockedUntil;              // the server asked for a pause (all categories or "error")
    QNetworkAccessManager *m_network = nullptr;
    NetWorkHelper *m_helper = nullptr;
    QTimer *m_timer;
    QThreadPool m_disk; // one thread: file reads and writes, envelopes
    Flight m_flight;
    bool m_started = false;
    bool m_finishing = false;
    bool m_doneEmitted = false;
    QDateTime m_finishBy;

    Q_DISABLE_COPY(Delivery)
};

#endif // KIVCRASHHANDLER_DELIVERY_H
