#ifndef KIVCRASHHANDLER_DELIVERYCONFIG_H
#define KIVCRASHHANDLER_DELIVERYCONFIG_H

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QUrl>

// Where crash reports go and whether they may go. The host hands the handler five free strings (the
// three handler parameters of its command line and the two strings of each "cloudConfig" message);
// each may hold items "key=value" separated by ";". Known keys: dsn, upload (on|off|ask), release,
// environment, ratelimit; any other key is kept for the event's "extra". The cloud configuration is the newer
// word: its items override the handler parameters', and a later one overrides an earlier one.
namespace DeliveryConfig {

// A crash server's address: "<scheme>://<public key>@<host>[:port]/<project id>".
struct Dsn
{
    QString text;      // as given
    QString publicKey;
    QString projectId;
    QUrl endpoint;     // <scheme>://<host>[:port][/<path>]/api/<project id>/envelope/
    QString error;     // why the text is not a DSN; empty when it is one

    bool isValid() const { return error.isEmpty() && endpoint.isValid(); }
    static Dsn parse(const QString &text);
};

enum class Upload { Off, On, Ask };
QString uploadText(Upload upload);

struct Config
{
    QString dsnText;   // empty: no crash server
    Upload upload = Upload::Off;
    QString release;
    QString environment;
    int perHour = 0;              // "ratelimit": reports delivered per hour at most; 0: the default
    QMap<QString, QString> extra; // unknown keys, as given
    QStringList notes;            // items that were not "key=value", unknown upload words

    Dsn dsn() const { return Dsn::parse(dsnText); }
    // On only when a valid DSN is set and upload=on applies.
    bool sendAllowed() const { return upload == Upload::On && dsn().isValid(); }
    // Whether a crash now may be sent at all: now (on) or once the user agrees (ask).
    bool mayDeliver() const { return upload != Upload::Off && dsn().isValid(); }
    QJsonObject toJson() const; // without the DSN's key: {"server", "upload", "release", ...}
};

// Applies the items of `text` over `config`: a key given here replaces the earlier value.
void apply(Config *config, const QString &text);

// The items of a whole "cloudConfig" message text after its command word: its two strings are
// joined by an "@" that is not escaped, and a DSN holds an "@" of its own. An "@" ends an item only
// where what follows it starts a new "key=" item (or nothing follows), so "dsn=https://k@host/1" stays
// whole; the result has ";" between items.
QString cloudConfigItems(const QString &fields);

// The configuration in force: the handler parameters, then each cloud configuration in the order it came.
Config merge(const QStringList &handlerParameters, const QStringList &cloudConfigs);

} // namespace DeliveryConfig

#endif // KIVCRASHHANDLER_DELIVERYCONFIG_H
