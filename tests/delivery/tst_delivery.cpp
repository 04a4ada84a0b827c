// Delivery to a crash server: the configuration words, the event and envelope built from a report,
// and the sender's policy against a small server of our own for the faults a real one will not
// show on demand (503, 429 with Retry-After, 413, a redirect, a hang, an untrusted certificate).

#include "crashevent.h"
#include "delivery.h"
#include "deliveryconfig.h"
#include "deliveryqueue.h"
#include "testfiles.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A report as the handler writes it, reduced to what the event reads.
QJsonObject crashReport()
{
    const QJsonArray frames {
        QJsonObject {{"pc", "0x401136"}, {"module", "app"}, {"function", "crashHere()"}, {"file", "/src/app/main.cpp"}, {"line", 42}},
        QJsonObject {{"pc", "0x7f0000001000"}, {"module", "libc.so.6"}, {"function", "__libc_start_main"}},
    };
    return QJsonObject {
        {"summary", "app crashed: SIGSEGV (SEGV_MAPERR) at 0x0 in thread main: crashHere() /src/app/main.cpp:42"},
        {"appName", "app"}, {"clientName", "client"}, {"hostGoneAt", "2026-12-07T12:00:00.000Z"},
        {"handlerParams", QJsonArray {"dsn=x", "", ""}},
        {"signature", "sig-1"},
        {"session", QJsonObject {{"login", QJsonObject {{"userId", "u1"}, {"liveId", "L9"}}}, {"streamNode", QJsonObject {{"node", "n1"}}}}},
        {"environment", QJsonObject {{"osRelease", "Debian GNU/Linux 12"}, {"kernel", "6.1.0"}, {"qtRuntime", "5.15.8"}}},
        {"logs", QJsonObject {{"host", QJsonObject {{"found", true}, {"path", "/l/host.log"}, {"tail", "last host line\n"}}},
                              {"thirdparty", QJsonArray {QJsonObject {{"found", true}, {"path", "/l/p.log"}, {"tail", "plugin"}}}}}},
        {"crash", QJsonObject {
            {"kind", "crashed"},
            {"end", QJsonObject {{"signal", 11}, {"signalName", "SIGSEGV"}}},
            {"analysis", QJsonObject {
                {"signal", 11}, {"signalName", "SIGSEGV"}, {"code", 1}, {"codeName", "SEGV_MAPERR"}, {"crashingTid", 100},
                {"threads", QJsonArray {QJsonObject {{"tid", 100}, {"name", "main"}, {"crashing", true}, {"frames", frames}},
                                        QJsonObject {{"tid", 101}, {"crashing", false}, {"frames", QJsonArray {frames.at(1)}}}}},
                {"modules", QJsonArray {
                    QJsonObject {{"name", "/opt/app/app"}, {"file", "/opt/app/app"}, {"buildId", "0123456789abcdef0123456789abcdef01234567"}, {"start", "0x400000"}, {"end", "0x402000"}},
                    QJsonObject {{"name", "libc.so.6"}, {"file", "/usr/lib/x86_64-linux-gnu/libc.so.6"}, {"buildId", "aabb"}, {"start", "0x7f0000000000"}, {"end", "0x7f0000200000"}}}},
            }},
        }},
    };
}

// Splits an envelope into [header, item header, payload, item header, payload, ...], checking each
// item's length; empty when the framing is wrong.
QList<QByteArray> items(const QByteArray &envelope)
{
    QList<QByteArray> out;
    int at = envelope.indexOf('\n');
    if (at < 0)
        return {};
    out.append(envelope.left(at));
    ++at;
    while (at < envelope.size()) {
        const int end = envelope.indexOf('\n', at);
        if (end < 0)
            return {};
        const QByteArray header = envelope.mid(at, end - at);
        const int length = QJsonDocument::fromJson(header).object().value("length").toInt(-1);
        if (length < 0 || envelope.size() < end + 1 + length + 1 || envelope.at(end + 1 + length) != '\n')
            return {};
        out << header << envelope.mid(end + 1, length);
        at = end + 1 + length + 1;
    }
    return out;
}

// A listening socket that speaks TLS with a self-signed certificate once given one, or greets
// each connection with bytes of its own.
class TlsServer : public QTcpServer
{
public:
    QSslCertificate certificate;
    QSslKey key;
    QByteArray greeting;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (certificate.isNull()) {
            auto *socket = new QTcpSocket(this);
            socket->setSocketDescriptor(descriptor);
            socket->write(greeting);
            addPendingConnection(socket);
            return;
        }
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
        addPendingConnection(socket);
        socket->startServerEncryption();
    }
};

// A crash server that answers each request with the next scripted answer ("hang": none).
class FaultServer : public QObject
{
    Q_OBJECT
public:
    struct Request
    {
        qint64 at;
        QByteArray head;
        QByteArray body;
    };
    TlsServer server;
    QList<QByteArray> answers;
    QList<Request> requests;
    int connections = 0;

    FaultServer() { server.listen(QHostAddress::LocalHost); connect(&server, SIGNAL(newConnection()), this, SLOT(onConnection())); }
    QString dsn() const { return QStringLiteral("http://key@127.0.0.1:%1/7").arg(server.serverPort()); }
    static QByteArray answer(int status, const QByteArray &headers = QByteArray(), const QByteArray &body = "{}")
    {
        return "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Length: " + QByteArray::number(body.size())
                + "\r\nConnection: close\r\n" + headers + "\r\n" + body;
    }
    QString eventId(int i) const
    {
        const QList<QByteArray> parts = items(CrashEvent::gunzip(requests.at(i).body, 64 << 20));
        return parts.isEmpty() ? QString() : QJsonDocument::fromJson(parts.first()).object().value("event_id").toString();
    }

private slots:
    void onConnection()
    {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            ++connections;
            connect(socket, SIGNAL(readyRead()), this, SLOT(onRead()));
        }
    }
    void onRead()
    {
        auto *socket = qobject_cast<QTcpSocket *>(sender());
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const int headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const QByteArray head = buffer.left(headEnd);
        const int lengthAt = head.toLower().indexOf("content-length:");
        const int length = head.mid(lengthAt + 15, head.indexOf('\r', lengthAt) - lengthAt - 15).trimmed().toInt();
        if (buffer.size() < headEnd + 4 + length)
            return;
        requests.append({QDateTime::currentMSecsSinceEpoch(), head, buffer.mid(headEnd + 4, length)});
        buffer.clear();
        const QByteArray reply = answers.isEmpty() ? answer(200) : answers.takeFirst();
        if (reply != "hang") {
            socket->write(reply);
            socket->disconnectFromHost();
        }
    }

private:
    QHash<QTcpSocket *, QByteArray> m_buffers;
};

struct Journal
{
    QList<QPair<QString, QJsonObject>> lines;
    Delivery::JournalHook hook()
    {
        return [this](const QString &event, const QJsonObject &fields) { lines.append({event, fields}); };
    }
    QJsonObject last(const QString &event) const
    {
        for (int i = lines.size() - 1; i >= 0; --i)
            if (lines.at(i).first == event)
                return lines.at(i).second;
        return {};
    }
};

QString writeReport(const QString &folder)
{
    const QString path = folder + "/app-100-20261207T120000Z.json";
    return TestFiles::writeAll(path, QJsonDocument(crashReport()).toJson()) ? path : QString();
}

DeliveryQueue::Entry entryOf(const QString &reportPath)
{
    DeliveryQueue::Entry entry;
    QString error;
    DeliveryQueue::read(DeliveryQueue::entryPath(reportPath), &entry, &error);
    return entry;
}

} // namespace

class TestDelivery : public QObject
{
    Q_OBJECT

private slots:
    void config_data()
    {
        QTest::addColumn<QStringList>("parameters");
        QTest::addColumn<QStringList>("cloud");
        QTest::addColumn<QString>("upload");
        QTest::addColumn<QString>("endpoint"); // empty: no valid DSN
        QTest::addColumn<QString>("dsnError");
        QTest::addColumn<QString>("extra");

        const QString dsn = "dsn=https://abc123@crash.example:8443/base/42";
        QTest::newRow("parameters") << QStringList {dsn + ";upload=on;release=1.2", "", ""} << QStringList {"", ""}
                                    << "on" << "https://crash.example:8443/base/api/42/envelope/" << "" << "";
        QTest::newRow("cloud overrides") << QStringList {dsn + ";upload=on", "", ""} << QStringList {"upload=off", ""}
                                         << "off" << "https://crash.example:8443/base/api/42/envelope/" << "" << "";
        QTest::newRow("DSN in the cloud's first string") << QStringList {"upload=off"} << QStringList {"dsn=http://k1@127.0.0.1:9/3;upload=on", "env=x@y"}
                                                         << "on" << "http://127.0.0.1:9/api/3/envelope/" << "" << "env=x@y";
        QTest::newRow("unclear word is off") << QStringList {dsn, "upload=yes please", ""} << QStringList {"", ""}
                                             << "off" << "https://crash.example:8443/base/api/42/envelope/" << "" << "";
        QTest::newRow("unknown keys kept") << QStringList {"team=core; upload=ask ;x", "", ""} << QStringList {"", "k=v=w"}
                                           << "ask" << "" << "" << "k=v=w;team=core";
        QTest::newRow("no key") << QStringList {"dsn=https://crash.example/42;upload=on"} << QStringList {}
                                << "on" << "" << "no public key before the \"@\"" << "";
        QTest::newRow("odd key") << QStringList {"dsn=https://a%40b@crash.example/42"} << QStringList {}
                                 << "off" << "" << "the public key holds characters other than letters and digits" << "";
        QTest::newRow("ftp") << QStringList {"dsn=ftp://k@crash.example/42"} << QStringList {}
                             << "off" << "" << "the scheme must be https or http, not \"ftp\"" << "";
        QTest::newRow("no project") << QStringList {"dsn=https://k@crash.example/"} << QStringList {}
                                    << "off" << "" << "no project id at the end of the path" << "";
    }

    void config()
    {
        QFETCH(QStringList, parameters);
        QFETCH(QStringList, cloud);
        // The cloud configuration comes as one message text, its two strings joined by "@".
        const DeliveryConfig::Config config = DeliveryConfig::merge(parameters, {DeliveryConfig::cloudConfigItems(cloud.join('@'))});
        QTEST(DeliveryConfig::uploadText(config.upload), "upload");
        const DeliveryConfig::Dsn dsn = config.dsn();
        QTEST(dsn.isValid() ? dsn.endpoint.toString() : QString(), "endpoint");
        QTEST(config.dsnText.isEmpty() ? QString() : dsn.error, "dsnError");
        QStringList extra;
        for (auto it = config.extra.cbegin(); it != config.extra.cend(); ++it)
            extra.append(it.key() + "=" + it.value());
        QTEST(extra.join(';'), "extra");
    }

    void debugIds()
    {
        // The CodeView GUID as the report prints it (field order), then the age.
        QCOMPARE(CrashEvent::peDebugId("3249D99D0C4049318610F4E7B9B1D6BB2"), QString("3249d99d-0c40-4931-8610-f4e7b9b1d6bb-2"));
        QCOMPARE(CrashEvent::peDebugId(""), QString());
    }

    void envelope()
    {
        CrashEvent::Input input;
        input.report = crashReport();
        input.report.insert("subProcess", QJsonObject {{"appName", "worker"}, {"pid", 101}}); // a worker's crash
        input.reportBytes = QJsonDocument(input.report).toJson();
        input.reportName = "app-100-sub-101-20261207T120000Z.json";
        input.eventId = QString(32, 'a');
        input.dsnText = "http://k@127.0.0.1:1/7";
        input.config.release = "1.2";
        input.config.extra.insert("team", "core");
        input.rateLimited = 3;
        const QJsonObject event = CrashEvent::event(input);
        const QByteArray bytes = CrashEvent::gunzip(CrashEvent::gzip(CrashEvent::envelope(input, event)), 1 << 20);
        const QList<QByteArray> parts = items(bytes);
        QCOMPARE(parts.size(), 1 + 2 * 4); // header, event, report, host log, plug-in log
        QCOMPARE(QJsonDocument::fromJson(parts.at(0)).object().value("event_id").toString(), input.eventId);
        QCOMPARE(parts.at(4), input.reportBytes);
        QCOMPARE(parts.at(6), QByteArray("last host line\n"));

        const QJsonObject sent = QJsonDocument::fromJson(parts.at(2)).object();
        const QJsonValue exception = sent["exception"]["values"][0];
        const QJsonArray frames = exception["stacktrace"]["frames"].toArray();
        // Outermost first: libc, then the crash site.
        QCOMPARE(QJsonArray({exception["type"], exception["mechanism"]["meta"]["signal"]["code_name"], frames.size(), frames[0]["in_app"],
                             frames[1]["function"], frames[1]["lineno"], frames[1]["package"], frames[1]["in_app"]}),
                 QJsonArray({"SIGSEGV", "SEGV_MAPERR", 2, false, "crashHere()", 42, "/opt/app/app", true}));
        QCOMPARE(QJsonArray({sent["debug_meta"]["images"][0]["debug_id"], sent["user"]["id"], sent["tags"]["signature"],
                             sent["tags"]["process"], sent["extra"]["rateLimitedReports"], sent["extra"]["config"]["team"]}),
                 QJsonArray({"67452301-ab89-efcd-0123-456789abcdef", "u1", "sig-1", "worker", 3, "core"}));
    }

    // One crash report handed to a Delivery whose server answers as scripted.
    void faults_data()
    {
        QTest::addColumn<QString>("cloud");      // the cloud configuration after the crash ("" none)
        QTest::addColumn<QByteArrayList>("answers");
        QTest::addColumn<int>("requests");        // how many reach the server
        QTest::addColumn<QString>("state");       // the entry's state at the end ("" none written)
        QTest::addColumn<QString>("journal");     // the last journal line's event and reason/error (contains)

        const QByteArray s503 = FaultServer::answer(503);
        QTest::newRow("503 twice then 200") << "" << QByteArrayList {s503, s503, FaultServer::answer(200, "", "{\"id\":\"srv\"}")}
                                            << 3 << "delivered" << "delivered";
        QTest::newRow("429 Retry-After") << "" << QByteArrayList {FaultServer::answer(429, "Retry-After: 2\r\n")}
                                         << 2 << "delivered" << "delivered";
        QTest::newRow("413") << "" << QByteArrayList {FaultServer::answer(413)}
                             << 1 << "refused" << "deliveryRefused HTTP 413: the server finds the report too large";
        QTest::newRow("redirect") << "" << QByteArrayList {FaultServer::answer(307, "Location: http://elsewhere.example/\r\n")}
                                  << 1 << "refused" << "deliveryRefused HTTP 307: redirected to http://elsewhere.example/";
        QTest::newRow("400") << "" << QByteArrayList {FaultServer::answer(400)} << 1 << "refused" << "deliveryRefused HTTP 400";
        // A directory in the entry's place: the queue cannot be written, the report is sent all the same.
        QTest::newRow("entry not writable") << "" << QByteArrayList {} << 1 << "queued" << "delivered";
        QTest::newRow("ask, no answer") << "upload=ask" << QByteArrayList {} << 0 << "queued" << "deliveryQueued";
        QTest::newRow("ask, the user's yes") << "upload=ask" << QByteArrayList {} << 1 << "delivered" << "delivered";
        QTest::newRow("upload=off") << "upload=off" << QByteArrayList {} << 0 << "" << "deliveryNotQueued upload=off";
        QTest::newRow("off after the crash") << "" << QByteArrayList {} << 0 << "queued" << "deliveryQueued";
        QTest::newRow("malformed DSN") << "dsn=https://crash.example/1" << QByteArrayList {} << 0 << ""
                                       << "deliveryNotQueued malformed DSN: no public key";
    }

    void faults()
    {
        QFETCH(QString, cloud);
        QFETCH(QByteArrayList, answers);
        QFETCH(int, requests);
        QFETCH(QString, state);
        QFETCH(QString, journal);

        QTemporaryDir dir;
        FaultServer server;
        server.answers = answers;
        Journal lines;
        Delivery delivery(dir.path(), "app", lines.hook());
        delivery.setHandlerParameters({"dsn=" + server.dsn() + ";upload=on", "", ""});
        delivery.setCloudConfig(cloud + "@");
        delivery.start();
        const QString report = writeReport(dir.path());
        const bool unwritable = QByteArray(QTest::currentDataTag()) == "entry not writable";
        if (unwritable)
            QVERIFY(QDir().mkpath(DeliveryQueue::entryPath(report)));
        delivery.reportWritten(report);
        if (QByteArray(QTest::currentDataTag()) == "ask, the user's yes")
            delivery.userAnswered(report, true);
        if (QByteArray(QTest::currentDataTag()) == "off after the crash")
            delivery.setCloudConfig("upload=off@"); // the host's user says no before the send is due
        QSignalSpy done(&delivery, SIGNAL(done()));
        delivery.finish(15000);
        QVERIFY(done.count() == 1 || done.wait(20000)); // at once when nothing is due

        QCOMPARE(server.requests.size(), requests);
        if (requests == 0)
            QCOMPARE(server.connections, 0);
        QVERIFY(QFile::exists(report)); // the local report always stays
        QCOMPARE(DeliveryQueue::Entry::stateText(entryOf(report).state), state.isEmpty() ? QString("queued") : state);
        if (unwritable)
            QVERIFY(lines.last("deliveryRecordFailed").value("error").toString().startsWith("cannot write"));
        QCOMPARE(QFile::exists(DeliveryQueue::entryPath(report)), !state.isEmpty());
        const auto &last = lines.lines.last();
        const QString said = last.first + " " + last.second.value("reason").toString() + last.second.value("error").toString();
        QVERIFY2(said.startsWith(journal), qPrintable(said));
        for (int i = 1; i < server.requests.size(); ++i)
            QCOMPARE(server.eventId(i), server.eventId(0));
        if (QByteArray(QTest::currentDataTag()) == "429 Retry-After")
            QVERIFY(server.requests.at(1).at - server.requests.at(0).at >= 2000 - 50);
        if (state == "delivered" && requests == 3) {
            QCOMPARE(entryOf(report).serverId, QString("srv"));
            QCOMPARE(lines.last("delivered").value("attempt").toInt(), 3);
            const QByteArray head = server.requests.at(0).head;
            QVERIFY(head.startsWith("POST /api/7/envelope/ "));
            QVERIFY(head.contains("X-Sentry-Auth: Sentry sentry_version=7, sentry_key=key, sentry_client=ostrel.kivcrashhandler/"));
            QVERIFY(head.contains("Content-Encoding: gzip"));
        }
    }

    // Certificates are verified against the system's authorities, and a TLS failure is temporary.
    void tls_data()
    {
        QTest::addColumn<bool>("selfSigned");
        QTest::addColumn<QString>("reason"); // the failure's reason (contains)
        QTest::newRow("handshake refused") << false << "SSL handshake failed";
        QTest::newRow("self-signed certificate") << true << "self-signed";
    }

    void tls()
    {
        QFETCH(bool, selfSigned);
        QVERIFY2(QSslSocket::supportsSsl(), "this Qt has no TLS backend");
        FaultServer server;
        if (selfSigned) {
#ifdef Q_OS_WIN
            QSKIP("a Schannel server under Wine finds no chain for its certificate; the Linux lane serves it");
#endif
            QFile certificate(OSTREL_TLS_DIR "/selfsigned.crt"), key(OSTREL_TLS_DIR "/selfsigned.key");
            QVERIFY(certificate.open(QIODevice::ReadOnly) && key.open(QIODevice::ReadOnly));
            server.server.certificate = QSslCertificate(&certificate);
            server.server.key = QSslKey(&key, QSsl::Rsa);
            QVERIFY(!server.server.key.isNull());
        } else {
            server.server.greeting = QByteArray::fromHex("15030300020228"); // TLS alert: handshake failure
        }
        QTemporaryDir dir;
        Journal lines;
        Delivery delivery(dir.path(), "app", lines.hook());
        delivery.setHandlerParameters({"dsn=" + server.dsn().replace("http:", "https:") + ";upload=on", "", ""});
        delivery.start();
        const QString report = writeReport(dir.path());
        delivery.reportWritten(report);
        QTRY_VERIFY_WITH_TIMEOUT(!lines.last("deliveryFailed").isEmpty(), 20000);
        const QString said = lines.last("deliveryFailed").value("reason").toString();
        QFETCH(QString, reason);
        QVERIFY2(said.contains(reason), qPrintable(said));
        QVERIFY(server.requests.isEmpty()); // not a byte of the report in the clear, nor to an untrusted peer
        QCOMPARE(entryOf(report).state, DeliveryQueue::Entry::Queued);
    }

    // A handler that ends in the middle of a send (the server never answers) leaves the report queued;
    // the next handler of the same application sends it again with the same event id.
    void retryKeepsEventId()
    {
        QTemporaryDir dir;
        FaultServer server;
        server.answers = {"hang"};
        const QString report = writeReport(dir.path());
        const QStringList parameters {"dsn=" + server.dsn() + ";upload=on", "", ""};
        {
            Journal lines;
            Delivery first(dir.path(), "app", lines.hook());
            first.setHandlerParameters(parameters);
            first.start();
            first.reportWritten(report);
            QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 10000);
        }
        QCOMPARE(entryOf(report).state, DeliveryQueue::Entry::Queued);
        QCOMPARE(entryOf(report).attempts, 0);

        Journal lines;
        Delivery next(dir.path(), "app", lines.hook());
        QSignalSpy delivered(&next, SIGNAL(delivered(QString, QString)));
        next.setHandlerParameters(parameters);
        next.start();
        QVERIFY(delivered.wait(10000));
        QCOMPARE(server.requests.size(), 2);
        QCOMPARE(server.eventId(1), server.eventId(0));
        QCOMPARE(delivered.at(0).at(0).toString(), server.eventId(0));
    }
};

QTEST_GUILESS_MAIN(TestDelivery)
#include "tst_delivery.moc"
