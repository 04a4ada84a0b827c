#ifndef KIVCRASHHANDLER_DELIVERYQUEUE_H
#define KIVCRASHHANDLER_DELIVERYQUEUE_H

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The delivery queue: one private file per report to deliver, "<report name without .json>.delivery",
// beside the report in the dump folder. It is the queue entry while the report waits and the
// delivery record once it has gone (or will not go): state, event id, attempts, next attempt time,
// the consent in force at crash time, the server's id or the reason. It outlives the handler; the
// next handler of the same application picks it up.
namespace DeliveryQueue {

constexpr const char *kSuffix = ".delivery";

struct Entry
{
    enum State { Queued, Delivered, Refused, Expired, RateLimited };

    QString path;          // the entry's file
    QString report;        // the report's file name (same folder)
    QString app;
    QString eventId;       // kept for every retry: the server keeps one event
    QString dsn;
    QString consent;       // "on" or "ask", as in force when the report was written; "yes" once the user said so
    QJsonObject config;    // release, environment, extra keys at crash time
    State state = Queued;
    int attempts = 0;
    QDateTime createdAt;
    QDateTime nextAttemptAt;
    QDateTime finishedAt;
    QString serverId;
    QString reason;        // the last failure, or why it will not be sent
    QString countedIn;     // rate-limited: the event id of the delivery that counted it
    QJsonObject feedback;  // the user's answer to "ask": {"name", "email", "comments"}; sent with the event

    QString reportPath() const;
    QJsonObject toJson() const;
    static QString stateText(State state);
};

// The entry's file for a report path.
QString entryPath(const QString &reportPath);
// Reads an entry; false with *error (the reason) when the file is unreadable or damaged.
bool read(const QString &path, Entry *entry, QString *error);
// Writes it privately, in one step; false with *error.
bool write(const Entry &entry, QString *error);
// The entries in `folder`, in name order.
QStringList entryPaths(const QString &folder);
// A damaged entry is moved aside (".damaged") so that it is not read again.
void setAside(const QString &path);

} // namespace DeliveryQueue

#endif // KIVCRASHHANDLER_DELIVERYQUEUE_H
