#include "delivery.h"

#include "crashevent.h"
#include "storage/privatefiles.h"

#include <OstrelSDK/networkhelper.h>

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QRunnable>
#include <QTimer>
#include <QUuid>

using DeliveryQueue::Entry;

namespace {

constexpr qint64 kHourMs = 3600 * 1000;
// A report larger than this is not read for delivery (reports are far smaller).
constexpr qint64 kMaxReportBytes = 32 * 1024 * 1024;
// Another handler sends this entry now: look again after this long.
constexpr qint64 kLockedRetryMs = 30000;

// Seconds from Retry-After (a number or an HTTP date), -1 when absent or unreadable.
qint64 retryAfterMs(const QByteArray &value)
{
    if (value.isEmpty())
        return -1;
    bool ok = false;
    const qint64 seconds = value.trimmed().toLongLong(&ok);
    if (ok)
        return qBound(qint64(0), seconds, qint64(86400)) * 1000;
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(value.trimmed()), Qt::RFC2822Date);
    return when.isValid() ? qBound(qint64(0), QDateTime::currentDateTimeUtc().msecsTo(when), qint64(86400) * 1000) : -1;
}

// The longest pause X-Sentry-Rate-Limits asks for events ("<seconds>:<categories>:<scope>...", an
// empty category list meaning all), -1 when none applies.
qint64 rateLimitMs(const QByteArray &value)
{
    qint64 longest = -1;
    for (const QByteArray &limit : value.split(',')) {
        const QList<QByteArray> parts = limit.trimmed().split(':');
        bool ok = false;
        const qint64 seconds = parts.value(0).toLongLong(&ok);
        if (!ok || parts.size() < 2)
            continue;
        const QList<QByteArray> categories = parts.at(1).split(';');
        if (parts.at(1).isEmpty() || categories.contains("error"))
            longest = qMax(longest, qBound(qint64(0), seconds, qint64(86400)) * 1000);
    }
    return longest;
}

QByteArray readReport(const QString &path, QString *error)
{
    const int fd = PrivateFiles::openForReading(path, error);
    if (fd < 0)
        return QByteArray();
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *error = file.errorString();
        return QByteArray();
    }
    if (file.size() > kMaxReportBytes) {
        *error = QStringLiteral("the report is larger than %1 bytes").arg(kMaxReportBytes);
        return QByteArray();
    }
    return file.readAll();
}

} // namespace

// What the event of a queued entry is built from: the report, and the entry's facts.
CrashEvent::Input Delivery::eventInput(const Entry &entry, const QJsonObject &report, const QByteArray &bytes)
{
    CrashEvent::Input input;
    input.report = report;
    input.reportBytes = bytes;
    input.reportName = entry.report;
    input.eventId = entry.eventId;
    input.dsnText = entry.dsn;
    input.config.release = entry.config.value(QLatin1String("release")).toString();
    input.config.environment = entry.config.value(QLatin1String("environment")).toString();
    const QJsonObject extra = entry.config.value(QLatin1String("extra")).toObject();
    for (auto it = extra.begin(); it != extra.end(); ++it)
        input.config.extra.insert(it.key(), it.value().toString());
    input.deliveryExtra = QJsonObject {{QStringLiteral("attempt"), entry.attempts},
                                       {QStringLiteral("consentAtCrash"), entry.consent},
                                       {QStringLiteral("queuedAt"), entry.createdAt.toString(Qt::ISODateWithMs)}};
    input.feedback = entry.feedback;
    return input;
}

// On the disk thread: the envelope of a queued entry. The entry is written once the answer is known
// (one write per report); a handler killed in the middle of a send leaves it queued as it was, and
// the next one sends it again with the same event id.
Delivery::Prepared Delivery::prepare(Entry entry, int rateLimited)
{
    Prepared prepared;
    QString error;
    const QByteArray bytes = readReport(entry.reportPath(), &error);
    QJsonParseError parseError;
    const QJsonObject report = QJsonDocument::fromJson(bytes, &parseError).object();
    if (!error.isEmpty()) {
        prepared.reason = QStringLiteral("the report cannot be read: ") + error;
        prepared.state = Entry::Expired;
    } else if (parseError.error != QJsonParseError::NoError) {
        prepared.reason = QStringLiteral("the report is not JSON: ") + parseError.errorString();
    }
    if (!prepared.reason.isEmpty()) {
        prepared.entry = entry;
        return prepared;
    }
    entry.attempts += 1;
    CrashEvent::Input input = eventInput(entry, report, bytes);
    input.rateLimited = rateLimited;
    prepared.body = CrashEvent::gzip(CrashEvent::envelope(input, CrashEvent::event(input)));
    if (prepared.body.isEmpty())
        prepared.reason = QStringLiteral("the envelope could not be compressed");
    else if (prepared.body.size() > kMaxEnvelopeBytes)
        prepared.reason = QStringLiteral("the envelope is larger than %1 bytes").arg(kMaxEnvelopeBytes);
    prepared.entry = entry;
    return prepared;
}

Delivery::Delivery(const QString &folder, const QString &appName, JournalHook journal, QObject *parent)
    : QObject(parent)
    , m_folder(folder)
    , m_app(appName)
    , m_journal(std::move(journal))
    , m_timer(new QTimer(this))
{
    m_disk.setMaxThreadCount(1); // entry writes stay in order
    m_timer->setSingleShot(true);
    const bool ok = connect(m_timer, SIGNAL(timeout()), this, SLOT(sendDue()));
    Q_ASSERT(ok);
    Q_UNUSED(ok);
}

Delivery::~Delivery()
{
    m_disk.waitForDone();
    delete m_flight.lock;
}

void Delivery::setHandlerParameters(const QStringList &parameters)
{
    m_parameters = parameters;
    configChanged();
}

void Delivery::setCloudConfig(const QString &fields)
{
    m_cloud = DeliveryConfig::cloudConfigItems(fields);
    configChanged();
}

void Delivery::configChanged()
{
    m_config = DeliveryConfig::merge(m_parameters, {m_cloud});
    const DeliveryConfig::Dsn dsn = m_config.dsn();
    const QString error = m_config.dsnText.isEmpty() || dsn.isValid() ? QString() : dsn.error;
    if (!error.isEmpty() && error != m_reportedDsnError)
        m_journal(QStringLiteral("deliveryConfig"), {{QStringLiteral("error"), QStringLiteral("malformed DSN: ") + error},
                                                     {QStringLiteral("upload"), DeliveryConfig::uploadText(m_config.upload)}});
    m_reportedDsnError = error;
    if (m_started)
        schedule(); // consent may have come, or gone
}

void Delivery::reportWritten(const QString &reportPath)
{
    reportWritten(reportPath, m_config);
}

void Delivery::reportWritten(const QString &reportPath, const DeliveryConfig::Config &config)
{
    QString error;
    const QByteArray bytes = readReport(reportPath, &error);
    const QJsonObject report = QJsonDocument::fromJson(bytes).object();
    const QString name = QFileInfo(reportPath).fileName();
    if (!CrashEvent::isCrash(report) || config.dsnText.isEmpty())
        return; // only crashes go, and only where a server is named
    QString reason;
    if (!config.dsn().isValid())
        reason = QStringLiteral("malformed DSN: ") + config.dsn().error;
    else if (config.upload == DeliveryConfig::Upload::Off)
        reason = QStringLiteral("upload=off");
    if (!reason.isEmpty()) {
        m_journal(QStringLiteral("deliveryNotQueued"), {{QStringLiteral("report"), name}, {QStringLiteral("reason"), reason}});
        return;
    }
    Entry entry;
    entry.path = DeliveryQueue::entryPath(reportPath);
    entry.report = name;
    entry.app = m_app;
    entry.eventId = QUuid::createUuid().toString(QUuid::Id128);
    entry.dsn = config.dsnText;
    entry.consent = DeliveryConfig::uploadText(config.upload);
    QJsonObject extra;
    for (auto it = config.extra.cbegin(); it != config.extra.cend(); ++it)
        extra.insert(it.key(), it.value());
    entry.config = QJsonObject {{QStringLiteral("release"), config.release},
                                {QStringLiteral("environment"), config.environment},
                                {QStringLiteral("extra"), extra}};
    entry.createdAt = QDateTime::currentDateTimeUtc();
    entry.nextAttemptAt = entry.createdAt;
    save(entry);
    m_journal(QStringLiteral("deliveryQueued"), {{QStringLiteral("report"), name},
                                                 {QStringLiteral("eventId"), entry.eventId},
                                                 {QStringLiteral("consent"), entry.consent}});
    m_queue.append(entry);
    schedule();
}

void Delivery::start()
{
    m_started = true;
    QTimer::singleShot(0, this, SLOT(pickUp())); // after the start has been journaled
}

void Delivery::pickUp()
{
    loadQueue();
    schedule();
}

void Delivery::loadQueue()
{
    QStringList known;
    for (const Entry &entry : qAsConst(m_queue))
        known.append(entry.path);
    const QDateTime hourAgo = QDateTime::currentDateTimeUtc().addMSecs(-kHourMs);
    for (const QString &path : DeliveryQueue::entryPaths(m_folder)) {
        Entry entry;
        QString error;
        if (!DeliveryQueue::read(path, &entry, &error)) {
            m_journal(QStringLiteral("deliveryEntryDamaged"), {{QStringLiteral("path"), path}, {QStringLiteral("reason"), error}});
            DeliveryQueue::setAside(path);
            continue;
        }
        if (entry.app != m_app || known.contains(path))
            continue;
        if (entry.state == Entry::Queued)
            m_queue.append(entry);
        else if (entry.state == Entry::Delivered && entry.finishedAt > hourAgo)
            m_deliveredAt.append(entry.finishedAt);
        else if (entry.state == Entry::RateLimited && entry.countedIn.isEmpty())
            m_uncounted.append(path);
    }
}

bool Delivery::sendAllowedNow(const Entry &entry) const
{
    if (entry.consent == QLatin1String("yes")) // the user's own yes for this report
        return m_config.upload != DeliveryConfig::Upload::Off;
    return entry.consent == QLatin1String("on") && m_config.upload == DeliveryConfig::Upload::On;
}

int Delivery::askedIndex(const QString &reportPath) const
{
    const QString path = DeliveryQueue::entryPath(reportPath);
    for (int i = 0; i < m_queue.size(); ++i) {
        if (m_queue.at(i).path == path && m_queue.at(i).consent == QLatin1String("ask"))
            return i;
    }
    return -1;
}

bool Delivery::awaitsAnswer(const QString &reportPath) const
{
    return askedIndex(reportPath) >= 0;
}

bool Delivery::preview(const QString &reportPath, QString *details, QList<CrashEvent::Attachment> *attachments) const
{
    const int i = askedIndex(reportPath);
    QString error;
    const QByteArray bytes = i < 0 ? QByteArray() : readReport(reportPath, &error);
    if (bytes.isEmpty())
        return false;
    Entry entry = m_queue.at(i);
    entry.attempts += 1; // as the first attempt will say
    const CrashEvent::Input input = eventInput(entry, QJsonDocument::fromJson(bytes).object(), bytes);
    *details = CrashEvent::readable(input, CrashEvent::event(input));
    *attachments = CrashEvent::attachments(input);
    return true;
}

void Delivery::userAnswered(const QString &reportPath, bool send, const Feedback &feedback)
{
    const int i = askedIndex(reportPath);
    if (i < 0)
        return;
    if (!send) {
        conclude(m_queue.at(i), Entry::Refused, QStringLiteral("the user chose not to send it"));
        return;
    }
    m_queue[i].consent = QStringLiteral("yes");
    m_queue[i].reason.clear();
    if (!feedback.comments.isEmpty() || !feedback.email.isEmpty())
        m_queue[i].feedback = QJsonObject {{QStringLiteral("name"), feedback.name},
                                           {QStringLiteral("email"), feedback.email},
                                           {QStringLiteral("comments"), feedback.comments}};
    save(m_queue.at(i));
    schedule();
}

void Delivery::noAnswer(const QString &reportPath, const QString &reason)
{
    const int i = askedIndex(reportPath);
    if (i < 0)
        return;
    m_queue[i].reason = QStringLiteral("asked, no answer: ") + reason;
    save(m_queue.at(i));
}

void Delivery::schedule()
{
    if (m_flight.busy)
        return;
    QDateTime next;
    for (const Entry &entry : qAsConst(m_queue)) {
        if (!sendAllowedNow(entry))
            continue;
        QDateTime at = entry.nextAttemptAt;
        if (m_blockedUntil.isValid() && m_blockedUntil > at)
            at = m_blockedUntil;
        if (!next.isValid() || at < next)
            next = at;
    }
    if (m_finishing && (!next.isValid() || next > m_finishBy)) {
        m_timer->stop();
        checkFinished();
        return;
    }
    if (!next.isValid()) {
        m_timer->stop();
        return;
    }
    m_timer->start(int(qBound<qint64>(0, QDateTime::currentDateTimeUtc().msecsTo(next), kHourMs)));
}

void Delivery::sendDue()
{
    if (m_flight.busy)
        return;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!m_blockedUntil.isValid() || m_blockedUntil <= now) {
        for (int i = 0; i < m_queue.size(); ++i) {
            const Entry entry = m_queue.at(i);
            if (sendAllowedNow(entry) && entry.nextAttemptAt <= now && send(entry))
                return;
        }
    }
    schedule();
}

bool Delivery::send(Entry entry)
{
    const auto drop = [this, &entry]() {
        for (int i = 0; i < m_queue.size(); ++i) {
            if (m_queue.at(i).path == entry.path)
                m_queue.removeAt(i--);
        }
    };
    auto *lock = new QLockFile(entry.path + QLatin1String(".lock"));
    if (!lock->tryLock(0)) {
        delete lock;
        for (Entry &queued : m_queue) {
            if (queued.path == entry.path)
                queued.nextAttemptAt = QDateTime::currentDateTimeUtc().addMSecs(kLockedRetryMs);
        }
        return false;
    }
    // Read again under the lock: another handler may have sent it meanwhile.
    QString error;
    Entry fresh;
    if (QFileInfo(entry.path).isFile() && !DeliveryQueue::read(entry.path, &fresh, &error)) {
        m_journal(QStringLiteral("deliveryEntryDamaged"), {{QStringLiteral("path"), entry.path}, {QStringLiteral("reason"), error}});
        DeliveryQueue::setAside(entry.path);
        drop();
        delete lock;
        return false;
    }
    if (!fresh.path.isEmpty()) {
        if (fresh.state != Entry::Queued) {
            drop();
            delete lock;
            return false;
        }
        if (fresh.attempts > entry.attempts) // another handler tried it since (ours may still be being written)
            entry = fresh;
    }

    QString reason;
    if (entry.createdAt.daysTo(QDateTime::currentDateTimeUtc()) > kMaxAgeDays)
        reason = QStringLiteral("not delivered within %1 days: %2").arg(kMaxAgeDays).arg(entry.reason);
    else if (deliveredInLastHour() >= perHour())
        reason = QStringLiteral("%1 reports of %2 were delivered within the last hour").arg(perHour()).arg(m_app);
    if (!reason.isEmpty()) {
        delete lock;
        conclude(entry, reason.startsWith(QLatin1String("not")) ? Entry::Expired : Entry::RateLimited, reason);
        return false;
    }

    // Reading the report, building and compressing the envelope and recording the attempt happen
    // on the disk thread; the request goes from here once that is done (onPrepared).
    m_flight = Flight();
    m_flight.busy = true;
    m_flight.lock = lock;
    m_flight.countedPaths = m_uncounted; // reports kept back by the hourly limit, counted in this event
    m_flight.counted = m_uncounted.size();
    const int counted = m_flight.counted;
    m_disk.start(QRunnable::create([this, entry, counted]() {
        const Prepared prepared = prepare(entry, counted);
        QMetaObject::invokeMethod(this, [this, prepared]() { onPrepared(prepared); }, Qt::QueuedConnection);
    }));
    return true;
}

void Delivery::onPrepared(const Prepared &prepared)
{
    Entry entry = prepared.entry;
    if (!prepared.reason.isEmpty()) {
        QLockFile *lock = m_flight.lock;
        m_flight = Flight();
        conclude(entry, prepared.state, prepared.reason);
        release(lock);
        schedule();
        return;
    }
    if (!m_network) {
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        m_network = new QNetworkAccessManager(this);
        m_helper = new NetWorkHelper(this);
        const bool ok = connect(m_helper, SIGNAL(networkFinish(bool, QJsonObject, QString)),
                                this, SLOT(onAnswer(bool, QJsonObject, QString)));
        Q_ASSERT(ok);
        Q_UNUSED(ok);
    }
    const DeliveryConfig::Dsn dsn = DeliveryConfig::Dsn::parse(entry.dsn);
    QNetworkRequest request(dsn.endpoint);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-sentry-envelope"));
    request.setRawHeader("Content-Encoding", "gzip");
    const QByteArray client = QByteArray(CrashEvent::kClientName) + '/' + KIVCRASHHANDLER_VERSION;
    request.setRawHeader("X-Sentry-Auth", "Sentry sentry_version=7, sentry_key=" + dsn.publicKey.toLatin1()
                                                  + ", sentry_client=" + client);
    request.setHeader(QNetworkRequest::UserAgentHeader, client);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);

    m_flight.entry = entry;
    m_flight.startedMs = QDateTime::currentMSecsSinceEpoch();
    m_flight.reply = m_network->post(request, prepared.body);
    // Our slot reads the status and headers first; the library's helper then reads the body.
    const bool ok = connect(m_flight.reply, SIGNAL(finished()), this, SLOT(onReplyFinished()))
            && connect(m_flight.reply, SIGNAL(finished()), m_helper, SLOT(onFinished()))
            && connect(m_flight.reply, SIGNAL(downloadProgress(qint64, qint64)), this, SLOT(onDownloadProgress(qint64, qint64)));
    Q_ASSERT(ok);
    Q_UNUSED(ok);
#if QT_CONFIG(ssl)
    // Only read: the errors are never ignored, so an untrusted server gets nothing.
    connect(m_flight.reply, SIGNAL(sslErrors(QList<QSslError>)), this, SLOT(onTlsErrors(QList<QSslError>)));
#endif
    new ReplyTimeout(m_flight.reply, kRequestTimeoutMs);
}

void Delivery::onDownloadProgress(qint64 received, qint64 total)
{
    if (m_flight.reply && (received > kMaxAnswerBytes || total > kMaxAnswerBytes)) {
        m_flight.answerTooLarge = true;
        m_flight.reply->abort();
    }
}

#if QT_CONFIG(ssl)
void Delivery::onTlsErrors(const QList<QSslError> &errors)
{
    if (sender() != m_flight.reply)
        return;
    for (const QSslError &error : errors)
        m_flight.tlsErrors.append(error.errorString());
}
#endif

void Delivery::onReplyFinished()
{
    QNetworkReply *reply = m_flight.reply;
    if (!reply || sender() != reply)
        return;
    m_flight.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    m_flight.networkError = reply->error();
    m_flight.errorText = reply->errorString();
    m_flight.retryAfter = reply->rawHeader("Retry-After");
    m_flight.rateLimits = reply->rawHeader("X-Sentry-Rate-Limits");
    m_flight.redirect = reply->header(QNetworkRequest::LocationHeader).toUrl().toString();
}

void Delivery::onAnswer(bool success, const QJsonObject &result, const QString &message)
{
    Q_UNUSED(success);
    if (!m_flight.reply)
        return;
    Flight flight = m_flight;
    m_flight = Flight();
    Entry entry = flight.entry;
    const int status = flight.status;
    const qint64 ms = QDateTime::currentMSecsSinceEpoch() - flight.startedMs;
    const QString statusText = QStringLiteral("HTTP %1").arg(status);

    if (status >= 200 && status < 300) {
        entry.serverId = result.value(QLatin1String("id")).toString();
        m_deliveredAt.append(QDateTime::currentDateTimeUtc());
        for (const QString &path : qAsConst(flight.countedPaths)) {
            m_uncounted.removeAll(path);
            Entry counted;
            QString error;
            if (DeliveryQueue::read(path, &counted, &error)) {
                counted.countedIn = entry.eventId;
                save(counted);
            }
        }
        entry.state = Entry::Delivered;
        entry.reason.clear();
        entry.finishedAt = QDateTime::currentDateTimeUtc();
        save(entry);
        for (int i = 0; i < m_queue.size(); ++i) {
            if (m_queue.at(i).path == entry.path)
                m_queue.removeAt(i--);
        }
        QJsonObject line {{QStringLiteral("report"), entry.report}, {QStringLiteral("eventId"), entry.eventId},
                          {QStringLiteral("serverId"), entry.serverId}, {QStringLiteral("status"), status},
                          {QStringLiteral("attempt"), entry.attempts}, {QStringLiteral("ms"), double(ms)}};
        if (flight.counted > 0)
            line.insert(QStringLiteral("rateLimitedCounted"), flight.counted);
        m_journal(QStringLiteral("delivered"), line);
        emit delivered(entry.eventId, entry.serverId);
    } else if (flight.answerTooLarge) {
        retryLater(entry, QStringLiteral("the server's answer is larger than %1 bytes").arg(kMaxAnswerBytes), -1);
    } else if (status >= 300 && status < 400) {
        conclude(entry, Entry::Refused, QStringLiteral("%1: redirected to %2; redirects are not followed").arg(statusText, flight.redirect));
    } else if (status == 413) {
        conclude(entry, Entry::Refused, QStringLiteral("HTTP 413: the server finds the report too large"));
    } else if (status == 408 || status == 429 || status >= 500) {
        const qint64 serverDelay = qMax(retryAfterMs(flight.retryAfter), rateLimitMs(flight.rateLimits));
        if (status == 429 && serverDelay > 0)
            m_blockedUntil = QDateTime::currentDateTimeUtc().addMSecs(serverDelay);
        retryLater(entry, statusText, serverDelay);
    } else if (status >= 400) {
        conclude(entry, Entry::Refused, statusText + QStringLiteral(": refused by the server"));
    } else {
        QString reason = message.isEmpty() ? flight.errorText : message;
        if (!flight.tlsErrors.isEmpty())
            reason += QStringLiteral(": ") + flight.tlsErrors.join(QStringLiteral("; "));
        retryLater(entry, reason, -1);
    }
    release(flight.lock); // only once the entry says what happened
    schedule();
}

void Delivery::retryLater(Entry entry, const QString &reason, qint64 serverDelayMs)
{
    if (entry.attempts >= kMaxAttempts) {
        conclude(entry, Entry::Expired, QStringLiteral("not delivered in %1 attempts: %2").arg(kMaxAttempts).arg(reason));
        return;
    }
    const int shift = qMin(entry.attempts - 1, 30);
    const qint64 backoff = qMin(kBaseDelayMs << shift, kMaxDelayMs);
    const double jitter = 0.8 + 0.4 * QRandomGenerator::global()->generateDouble();
    const qint64 delay = qMax(qint64(backoff * jitter), serverDelayMs);
    entry.nextAttemptAt = QDateTime::currentDateTimeUtc().addMSecs(delay);
    entry.reason = reason;
    save(entry);
    for (Entry &queued : m_queue) {
        if (queued.path == entry.path)
            queued = entry;
    }
    m_journal(QStringLiteral("deliveryFailed"), {{QStringLiteral("report"), entry.report},
                                                 {QStringLiteral("eventId"), entry.eventId},
                                                 {QStringLiteral("attempt"), entry.attempts},
                                                 {QStringLiteral("reason"), reason},
                                                 {QStringLiteral("retryInMs"), double(delay)}});
}

void Delivery::conclude(Entry entry, Entry::State state, const QString &reason)
{
    entry.state = state;
    entry.reason = reason;
    entry.finishedAt = QDateTime::currentDateTimeUtc();
    save(entry);
    for (int i = 0; i < m_queue.size(); ++i) {
        if (m_queue.at(i).path == entry.path)
            m_queue.removeAt(i--);
    }
    if (state == Entry::RateLimited)
        m_uncounted.append(entry.path);
    const char *event = state == Entry::Refused ? "deliveryRefused"
            : state == Entry::RateLimited       ? "deliveryRateLimited"
                                                : "deliveryGivenUp";
    m_journal(QLatin1String(event), {{QStringLiteral("report"), entry.report},
                                     {QStringLiteral("eventId"), entry.eventId},
                                     {QStringLiteral("reason"), reason}});
}

void Delivery::save(const Entry &entry)
{
    m_disk.start(QRunnable::create([this, entry]() {
        QString error;
        if (!DeliveryQueue::write(entry, &error))
            QMetaObject::invokeMethod(this, [this, entry, error]() {
                m_journal(QStringLiteral("deliveryRecordFailed"), {{QStringLiteral("path"), entry.path}, {QStringLiteral("error"), error}});
            }, Qt::QueuedConnection);
    }));
}

// The lock goes after the writes queued before it: another handler then reads what happened.
void Delivery::release(QLockFile *lock)
{
    if (lock)
        m_disk.start(QRunnable::create([lock]() { delete lock; }));
}

int Delivery::deliveredInLastHour() const
{
    const QDateTime hourAgo = QDateTime::currentDateTimeUtc().addMSecs(-kHourMs);
    int n = 0;
    for (const QDateTime &at : m_deliveredAt)
        n += at > hourAgo ? 1 : 0;
    return n;
}

int Delivery::perHour() const
{
    return m_config.perHour > 0 ? m_config.perHour : kDefaultPerHour;
}

void Delivery::finish(int maxWaitMs)
{
    if (m_finishing)
        return;
    m_finishing = true;
    m_finishBy = QDateTime::currentDateTimeUtc().addMSecs(maxWaitMs);
    QTimer::singleShot(maxWaitMs, this, SLOT(emitDone()));
    schedule();
}

void Delivery::checkFinished()
{
    if (m_finishing && !m_flight.busy)
        emitDone();
}

void Delivery::emitDone()
{
    if (m_doneEmitted)
        return;
    m_doneEmitted = true;
    m_disk.waitForDone(); // every record written
    emit done();
}
