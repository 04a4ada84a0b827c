#include "crashevent.h"

#include "capture/dumpreader.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSysInfo>

#include <zlib.h>

#ifndef KIVCRASHHANDLER_VERSION
#define KIVCRASHHANDLER_VERSION "unknown"
#endif

namespace CrashEvent {

namespace {

QString text(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toString();
}

QJsonObject member(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toObject();
}

QString guidText(const QByteArray &bytes16)
{
    const QString hex = QString::fromLatin1(bytes16.toHex());
    return hex.left(8) + QLatin1Char('-') + hex.mid(8, 4) + QLatin1Char('-') + hex.mid(12, 4) + QLatin1Char('-')
            + hex.mid(16, 4) + QLatin1Char('-') + hex.mid(20, 12);
}

// The modules of a report by the names a frame may use for them (its name, its file's name).
struct Modules
{
    QHash<QString, QJsonObject> byName;
    QJsonObject find(const QString &name) const { return byName.value(name); }
};

Modules indexModules(const QJsonArray &modules)
{
    Modules index;
    for (const QJsonValue &value : modules) {
        const QJsonObject module = value.toObject();
        const QString file = text(module, "file");
        index.byName.insert(text(module, "name"), module);
        if (!file.isEmpty())
            index.byName.insert(QFileInfo(file).fileName(), module);
    }
    return index;
}

QJsonObject stacktrace(const QJsonArray &frames, const Modules &modules)
{
    QJsonArray out;
    // The report lists the innermost frame first; the protocol wants the outermost first.
    for (int i = frames.size() - 1; i >= 0; --i) {
        const QJsonObject frame = frames.at(i).toObject();
        QJsonObject f {{QStringLiteral("instruction_addr"), text(frame, "pc")}};
        const QString function = text(frame, "function");
        if (!function.isEmpty())
            f.insert(QStringLiteral("function"), function);
        const QString file = text(frame, "file");
        if (!file.isEmpty()) {
            f.insert(QStringLiteral("filename"), QFileInfo(file).fileName());
            f.insert(QStringLiteral("abs_path"), file);
        }
        if (frame.contains(QLatin1String("line")))
            f.insert(QStringLiteral("lineno"), frame.value(QLatin1String("line")).toInt());
        const QJsonObject module = modules.find(text(frame, "module"));
        const QString package = module.isEmpty() ? text(frame, "module") : text(module, "file");
        if (!package.isEmpty()) {
            f.insert(QStringLiteral("package"), package);
            f.insert(QStringLiteral("in_app"), !isSystemModule(package));
        }
        if (!module.isEmpty())
            f.insert(QStringLiteral("image_addr"), text(module, "start"));
        out.append(f);
    }
    return QJsonObject {{QStringLiteral("frames"), out}};
}

quint64 address(const QJsonObject &object, const char *key)
{
    return text(object, key).mid(2).toULongLong(nullptr, 16);
}

QJsonObject image(const QJsonObject &module, bool windows)
{
    const QString file = text(module, "file").isEmpty() ? text(module, "name") : text(module, "file");
    const quint64 start = address(module, "start");
    const quint64 size = address(module, "end") - start;
    QJsonObject image {
        {QStringLiteral("type"), windows ? QStringLiteral("pe") : QStringLiteral("elf")},
        {QStringLiteral("code_file"), file},
        {QStringLiteral("image_addr"), text(module, "start")},
        {QStringLiteral("image_size"), double(size)},
    };
    // Ids the report gives as such are taken as they are; else they are derived from the build id.
    QString codeId = text(module, "codeId");
    QString debugId = text(module, "debugId");
    const QString buildId = text(module, "buildId");
    if (windows) {
        if (codeId.isEmpty() && module.contains(QLatin1String("timestamp")))
            codeId = QStringLiteral("%1%2").arg(quint32(module.value(QLatin1String("timestamp")).toDouble()), 8, 16, QLatin1Char('0'))
                             .arg(size, 0, 16);
        if (debugId.isEmpty())
            debugId = peDebugId(buildId);
    } else {
        if (codeId.isEmpty())
            codeId = buildId.toLower();
        if (debugId.isEmpty())
            debugId = DumpReader::debugIdFromBuildId(buildId);
    }
    if (!codeId.isEmpty())
        image.insert(QStringLiteral("code_id"), codeId);
    if (!debugId.isEmpty())
        image.insert(QStringLiteral("debug_id"), debugId);
    if (!text(module, "debugFile").isEmpty())
        image.insert(QStringLiteral("debug_file"), text(module, "debugFile"));
    return image;
}

QJsonObject mechanism(const QJsonObject &crash, bool windows)
{
    const QJsonObject analysis = member(crash, "analysis");
    const QJsonObject end = member(crash, "end");
    QJsonObject mechanism {
        {QStringLiteral("type"), windows ? QStringLiteral("minidump") : QStringLiteral("signalhandler")},
        {QStringLiteral("handled"), false},
        {QStringLiteral("synthetic"), false},
    };
    if (windows) {
        const QString code = text(end, "exceptionCode");
        if (!code.isEmpty())
            mechanism.insert(QStringLiteral("data"), QJsonObject {{QStringLiteral("exception_code"), code}});
        return mechanism;
    }
    const QJsonObject source = analysis.contains(QLatin1String("signal")) ? analysis : end;
    QJsonObject signal {{QStringLiteral("number"), source.value(QLatin1String("signal")).toInt()},
                        {QStringLiteral("name"), text(source, "signalName")}};
    if (source.contains(QLatin1String("code")))
        signal.insert(QStringLiteral("code"), source.value(QLatin1String("code")).toInt());
    if (!text(source, "codeName").isEmpty())
        signal.insert(QStringLiteral("code_name"), text(source, "codeName"));
    mechanism.insert(QStringLiteral("meta"), QJsonObject {{QStringLiteral("signal"), signal}});
    return mechanism;
}

QString tailText(const QJsonObject &tail)
{
    return text(tail, "tail");
}

QByteArray itemHeader(const QJsonObject &header)
{
    return QJsonDocument(header).toJson(QJsonDocument::Compact) + '\n';
}

void appendAttachment(QByteArray *out, const QString &name, const QByteArray &payload, const QString &contentType,
                      const QString &type = QString())
{
    QJsonObject header {
        {QStringLiteral("type"), QStringLiteral("attachment")},
        {QStringLiteral("length"), double(payload.size())},
        {QStringLiteral("filename"), name},
    };
    if (!contentType.isEmpty())
        header.insert(QStringLiteral("content_type"), contentType);
    if (!type.isEmpty())
        header.insert(QStringLiteral("attachment_type"), type);
    *out += itemHeader(header) + payload + '\n';
}

} // namespace

QString peDebugId(const QString &codeView)
{
    static const QRegularExpression form(QStringLiteral("^([0-9A-Fa-f]{32})([0-9A-Fa-f]{1,8})$"));
    const QRegularExpressionMatch match = form.match(codeView);
    if (!match.hasMatch())
        return QString();
    return guidText(QByteArray::fromHex(match.captured(1).toLatin1())) + QLatin1Char('-') + match.captured(2).toLower();
}

bool isSystemModule(const QString &file)
{
    static const QRegularExpression system(
            QStringLiteral("^(/usr/lib|/usr/lib64|/lib|/lib64|/usr/local/lib)/|^[A-Za-z]:[\\\\/]windows[\\\\/]|linux-vdso"),
            QRegularExpression::CaseInsensitiveOption);
    return system.match(file).hasMatch();
}

bool isCrash(const QJsonObject &report)
{
    return text(member(report, "crash"), "kind") == QLatin1String("crashed");
}

QJsonObject event(const Input &input)
{
    const QJsonObject &report = input.report;
    const QJsonObject crash = member(report, "crash");
    const QJsonObject analysis = member(crash, "analysis");
    const QJsonObject end = member(crash, "end");
    const QJsonObject session = member(report, "session");
    const QJsonObject login = member(session, "login");
    const QJsonObject environment = member(report, "environment");
    const bool windows = text(member(crash, "core"), "format") == QLatin1String("minidump")
            || end.contains(QLatin1String("exceptionCode"));
    const Modules modules = indexModules(analysis.value(QLatin1String("modules")).toArray());

    // Threads, the crashing one with the exception's stack.
    const QString crashingTid = QString::number(analysis.value(QLatin1String("crashingTid")).toDouble(), 'f', 0);
    QJsonArray threads;
    QJsonObject crashingStack;
    for (const QJsonValue &value : analysis.value(QLatin1String("threads")).toArray()) {
        const QJsonObject thread = value.toObject();
        const bool crashed = thread.value(QLatin1String("crashing")).toBool();
        const QJsonObject stack = stacktrace(thread.value(QLatin1String("frames")).toArray(), modules);
        QJsonObject t {
            {QStringLiteral("id"), thread.value(QLatin1String("tid"))},
            {QStringLiteral("crashed"), crashed},
            {QStringLiteral("current"), crashed},
        };
        if (!text(thread, "name").isEmpty())
            t.insert(QStringLiteral("name"), text(thread, "name"));
        if (crashed)
            crashingStack = stack;
        else
            t.insert(QStringLiteral("stacktrace"), stack);
        threads.append(t);
    }

    QString type = windows ? text(end, "exceptionName") : text(analysis, "signalName");
    if (type.isEmpty())
        type = windows ? text(analysis, "exceptionName") : text(end, "signalName");
    QJsonObject exception {
        {QStringLiteral("type"), type.isEmpty() ? QStringLiteral("crash") : type},
        {QStringLiteral("value"), text(report, "summary")},
        {QStringLiteral("mechanism"), mechanism(crash, windows)},
    };
    if (analysis.contains(QLatin1String("crashingTid")))
        exception.insert(QStringLiteral("thread_id"), analysis.value(QLatin1String("crashingTid")));
    if (!crashingStack.isEmpty())
        exception.insert(QStringLiteral("stacktrace"), crashingStack);

    QJsonArray images;
    for (const QJsonValue &value : analysis.value(QLatin1String("modules")).toArray())
        images.append(image(value.toObject(), windows));

    const QString gone = text(report, "hostGoneAt");
    const QJsonObject system = member(analysis, "system");
    QJsonObject os {
        {QStringLiteral("name"), windows ? QStringLiteral("Windows") : QStringLiteral("Linux")},
        {QStringLiteral("version"), windows && !text(system, "os").isEmpty() ? text(system, "os") : text(environment, "osRelease")},
    };
    if (!text(environment, "kernel").isEmpty())
        os.insert(QStringLiteral("kernel_version"), text(environment, "kernel"));
    QJsonObject app {{QStringLiteral("app_name"), text(report, "appName")}};
    if (!text(environment, "hostStartedAt").isEmpty())
        app.insert(QStringLiteral("app_start_time"), text(environment, "hostStartedAt"));
    if (!input.config.release.isEmpty())
        app.insert(QStringLiteral("app_version"), input.config.release);
    const QJsonObject contexts {
        {QStringLiteral("os"), os},
        {QStringLiteral("app"), app},
        {QStringLiteral("runtime"), QJsonObject {{QStringLiteral("name"), QStringLiteral("Qt")},
                                                  {QStringLiteral("version"), text(environment, "qtRuntime")}}},
        {QStringLiteral("device"), QJsonObject {{QStringLiteral("arch"), !text(system, "cpu").isEmpty()
                                                         ? text(system, "cpu") : QSysInfo::currentCpuArchitecture()}}},
    };

    QJsonObject tags {
        {QStringLiteral("client"), text(report, "clientName")},
        {QStringLiteral("handler"), QStringLiteral(KIVCRASHHANDLER_VERSION)},
    };
    if (!text(login, "liveId").isEmpty())
        tags.insert(QStringLiteral("live_id"), text(login, "liveId"));
    if (!text(member(session, "streamNode"), "node").isEmpty())
        tags.insert(QStringLiteral("stream_node"), text(member(session, "streamNode"), "node"));
    if (!text(report, "signature").isEmpty())
        tags.insert(QStringLiteral("signature"), text(report, "signature"));
    if (report.contains(QLatin1String("subProcess"))) // a worker of the app crashed, not the app itself
        tags.insert(QStringLiteral("process"), text(member(report, "subProcess"), "appName"));

    QJsonObject unknownKeys;
    for (auto it = input.config.extra.cbegin(); it != input.config.extra.cend(); ++it)
        unknownKeys.insert(it.key(), it.value());
    QJsonObject extra {
        {QStringLiteral("report"), input.reportName},
        {QStringLiteral("handlerParams"), report.value(QLatin1String("handlerParams"))},
        {QStringLiteral("subProcesses"), session.value(QLatin1String("subProcesses"))},
        {QStringLiteral("exceptionChecks"), session.value(QLatin1String("exceptionChecks"))},
        {QStringLiteral("session"), session},
        {QStringLiteral("delivery"), input.deliveryExtra},
    };
    if (!unknownKeys.isEmpty())
        extra.insert(QStringLiteral("config"), unknownKeys);
    if (input.rateLimited > 0)
        extra.insert(QStringLiteral("rateLimitedReports"), input.rateLimited);

    QJsonObject event {
        {QStringLiteral("event_id"), input.eventId},
        {QStringLiteral("timestamp"), gone.isEmpty() ? text(report, "writtenAt") : gone},
        {QStringLiteral("platform"), QStringLiteral("native")},
        {QStringLiteral("level"), QStringLiteral("fatal")},
        {QStringLiteral("logger"), QString::fromLatin1(kClientName)},
        {QStringLiteral("exception"), QJsonObject {{QStringLiteral("values"), QJsonArray {exception}}}},
        {QStringLiteral("threads"), QJsonObject {{QStringLiteral("values"), threads}}},
        {QStringLiteral("debug_meta"), QJsonObject {{QStringLiteral("images"), images}}},
        {QStringLiteral("contexts"), contexts},
        {QStringLiteral("tags"), tags},
        {QStringLiteral("extra"), extra},
        {QStringLiteral("sdk"), QJsonObject {{QStringLiteral("name"), QString::fromLatin1(kClientName)},
                                             {QStringLiteral("version"), QStringLiteral(KIVCRASHHANDLER_VERSION)}}},
    };
    if (!text(login, "userId").isEmpty())
        event.insert(QStringLiteral("user"), QJsonObject {{QStringLiteral("id"), text(login, "userId")}});
    if (!input.config.release.isEmpty())
        event.insert(QStringLiteral("release"), input.config.release);
    if (!input.config.environment.isEmpty())
        event.insert(QStringLiteral("environment"), input.config.environment);
    return event;
}

QList<Attachment> attachments(const Input &input)
{
    QList<Attachment> out;
    out.append({input.reportName, input.reportBytes, QStringLiteral("application/json"), QString(), QString()});
    const QJsonObject logs = member(input.report, "logs");
    const QJsonObject host = member(logs, "host");
    if (host.value(QLatin1String("found")).toBool())
        out.append({QStringLiteral("host.log"), tailText(host).toUtf8(), QStringLiteral("text/plain"), QString(),
                    text(host, "path")});
    int n = 0;
    for (const QJsonValue &value : logs.value(QLatin1String("thirdparty")).toArray()) {
        const QJsonObject tail = value.toObject();
        ++n;
        if (tail.value(QLatin1String("found")).toBool())
            out.append({QStringLiteral("thirdparty-%1-%2").arg(n).arg(QFileInfo(text(tail, "path")).fileName()),
                        tailText(tail).toUtf8(), QStringLiteral("text/plain"), QString(), text(tail, "path")});
    }

    const QJsonObject core = member(member(input.report, "crash"), "core");
    const QString dump = text(core, "keptAt");
    if (text(core, "format") == QLatin1String("minidump") && !dump.isEmpty()) {
        QFile file(dump);
        if (file.size() <= kMaxMinidumpBytes && file.open(QIODevice::ReadOnly))
            out.append({QFileInfo(dump).fileName(), file.readAll(), QString(), QStringLiteral("event.minidump"), dump});
    }
    return out;
}

QByteArray envelope(const Input &input, const QJsonObject &event)
{
    const QJsonObject header {
        {QStringLiteral("event_id"), input.eventId},
        {QStringLiteral("dsn"), input.dsnText},
        {QStringLiteral("sent_at"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("sdk"), event.value(QLatin1String("sdk"))},
    };
    const QByteArray payload = QJsonDocument(event).toJson(QJsonDocument::Compact);
    QByteArray out = itemHeader(header);
    out += itemHeader({{QStringLiteral("type"), QStringLiteral("event")}, {QStringLiteral("length"), double(payload.size())}});
    out += payload + '\n';
    if (!input.feedback.isEmpty()) {
        QJsonObject report = input.feedback;
        report.insert(QStringLiteral("event_id"), input.eventId);
        const QByteArray bytes = QJsonDocument(report).toJson(QJsonDocument::Compact);
        out += itemHeader({{QStringLiteral("type"), QStringLiteral("user_report")}, {QStringLiteral("length"), double(bytes.size())}});
        out += bytes + '\n';
    }
    for (const Attachment &attachment : attachments(input))
        appendAttachment(&out, attachment.name, attachment.payload, attachment.contentType, attachment.type);
    return out;
}

QString readable(const Input &input, const QJsonObject &event)
{
    QString out = QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Indented));
    out += QStringLiteral("\nAttachments:\n");
    for (const Attachment &attachment : attachments(input))
        out += QStringLiteral("  %1 (%2 bytes)\n").arg(attachment.name).arg(attachment.payload.size());
    return out;
}

QByteArray gzip(const QByteArray &data)
{
    z_stream stream {};
    // 15 + 16: a gzip header and trailer around the deflate stream.
    if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))) + 32, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    const int rc = deflate(&stream, Z_FINISH);
    out.resize(int(stream.total_out));
    deflateEnd(&stream);
    return rc == Z_STREAM_END ? out : QByteArray();
}

QByteArray gunzip(const QByteArray &data, qint64 maxBytes)
{
    z_stream stream {};
    if (inflateInit2(&stream, 15 + 16) != Z_OK)
        return QByteArray();
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    QByteArray out;
    char buffer[64 * 1024];
    int rc = Z_OK;
    while (rc == Z_OK && out.size() <= maxBytes) {
        stream.next_out = reinterpret_cast<Bytef *>(buffer);
        stream.avail_out = sizeof buffer;
        rc = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, int(sizeof buffer - stream.avail_out));
    }
    inflateEnd(&stream);
    return rc == Z_STREAM_END && out.size() <= maxBytes ? out : QByteArray();
}

} // namespace CrashEvent
