#include "symbolize.h"

#include "moduleids.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>

#include <map>
#include <vector>

namespace Symbolize {

namespace {

const QString kModule = QStringLiteral("module");
const QString kOffset = QStringLiteral("offset");
const QString kFunction = QStringLiteral("function");
const QString kFile = QStringLiteral("file");
const QString kLine = QStringLiteral("line");
const QString kInlined = QStringLiteral("inlined");
const QString kNotSymbolized = QStringLiteral("notSymbolized");

quint64 number(const QJsonValue &value, bool *ok)
{
    if (value.isDouble()) {
        *ok = value.toDouble() >= 0;
        return quint64(value.toDouble());
    }
    const QString text = value.toString();
    return text.startsWith(QLatin1String("0x")) ? text.mid(2).toULongLong(ok, 16) : text.toULongLong(ok, 10);
}

QString fileName(const QString &path)
{
    return QFileInfo(QString(path).replace(QLatin1Char('\\'), QLatin1Char('/'))).fileName();
}

// One inlined or outer function at an address, as the symbolizer names it.
struct Name
{
    QString function;
    QString file;
    int line = 0;
};

// A module of the report and the file its frames are named from, or why there is none.
struct Source
{
    QString path;
    FileIds ids;
    QString reason;
    QStringList mismatches; // files passed over for their ids
};

class Symbolizer
{
public:
    explicit Symbolizer(const Options &options) : m_options(options), m_deadline(options.timeoutMs)
    {
        m_program = options.symbolizer.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("llvm-symbolizer"))
                                                 : options.symbolizer;
    }

    QJsonObject analysis(QJsonObject analysis, int *named, int *unnamed);
    QJsonArray files() const { return m_files; }

private:
    struct Request
    {
        int thread;
        int frame;
        quint64 lookup; // the offset in the module of the call (a return address less one)
        QString source;
        std::vector<Name> names;
        QString reason;
    };

    Source find(const QJsonObject &module);
    void name(const Source &source, std::vector<Request *> &requests);

    Options m_options;
    QDeadlineTimer m_deadline;
    QString m_program;
    std::map<QString, Source> m_sources; // by the module's name and ids
    QJsonArray m_files;
};

// The file named by the module's ids: in each folder given, the ".build-id" layout for an ELF build
// id, then the module's name with or without ".debug", its debug file's name; last the module's
// own path. The first whose ids match the report's is used; a file of another build never is.
Source Symbolizer::find(const QJsonObject &module)
{
    const QString name = fileName(module.value(QStringLiteral("name")).toString());
    const QString buildId = (module.contains(QStringLiteral("codeId")) ? module.value(QStringLiteral("codeId"))
                                                                       : module.value(QStringLiteral("buildId"))).toString().toLower();
    const QString debugId = module.value(QStringLiteral("debugId")).toString().toLower();
    const QString codeView = module.value(QStringLiteral("buildId")).toString().toUpper();
    const QString debugFile = fileName(module.value(QStringLiteral("debugFile")).toString());
    const QString key = name + QLatin1Char('/') + buildId + QLatin1Char('/') + debugId;
    const auto known = m_sources.find(key);
    if (known != m_sources.end())
        return known->second;

    Source source;
    if (buildId.isEmpty() && debugId.isEmpty()) {
        source.reason = QStringLiteral("the report gives %1 no build id or debug id to match a file by").arg(name);
        return m_sources[key] = source;
    }
    QStringList candidates;
    for (const QString &dir : m_options.debugDirs) {
        const QDir folder(dir);
        if (buildId.size() > 2)
            candidates << folder.filePath(QStringLiteral(".build-id/%1/%2.debug").arg(buildId.left(2), buildId.mid(2)));
        candidates << folder.filePath(name + QLatin1String(".debug")) << folder.filePath(QFileInfo(name).completeBaseName() + QLatin1String(".debug"));
        if (!debugFile.isEmpty())
            candidates << folder.filePath(debugFile);
        candidates << folder.filePath(name);
    }
    candidates << module.value(kFile).toString();
    candidates.removeDuplicates();
    QStringList &mismatches = source.mismatches;
    for (const QString &path : qAsConst(candidates)) {
        if (path.isEmpty() || !QFileInfo(path).isFile())
            continue;
        const FileIds ids = readFileIds(path);
        QString found;
        if (ids.format == QLatin1String("elf") && !ids.buildId.isEmpty()) {
            if (ids.buildId == buildId) {
                source.path = path;
                source.ids = ids;
                break;
            }
            found = QStringLiteral("build id %1").arg(ids.buildId);
        } else if (ids.format == QLatin1String("pe") && !ids.debugId.isEmpty()) {
            if (debugId.isEmpty() ? ids.codeViewId == codeView : ids.debugId == debugId) {
                source.path = path;
                source.ids = ids;
                break;
            }
            found = QStringLiteral("debug id %1").arg(ids.debugId);
        } else {
            found = ids.error;
        }
        mismatches << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), found);
    }
    if (source.path.isEmpty()) {
        const QString wanted = debugId.isEmpty() ? QStringLiteral("build id ") + buildId : QStringLiteral("debug id ") + debugId;
        source.reason = mismatches.isEmpty()
                ? QStringLiteral("no file for %1 (%2) in %3").arg(name, wanted, m_options.debugDirs.isEmpty()
                                                                                ? QStringLiteral("no folder given, nor at its own path")
                                                                                : m_options.debugDirs.join(QLatin1String(", ")) + QLatin1String(" nor at its own path"))
                : QStringLiteral("no file matches %1 (%2): %3").arg(name, wanted, mismatches.join(QLatin1String("; ")));
    } else {
        m_files.append(QJsonObject {{QStringLiteral("module"), name}, {kFile, QDir::toNativeSeparators(source.path)}});
    }
    return m_sources[key] = source;
}

// All of one file's addresses in one run of the symbolizer.
void Symbolizer::name(const Source &source, std::vector<Request *> &requests)
{
    const auto fail = [&](const QString &reason) {
        for (Request *r : requests)
            r->reason = reason;
    };
    if (m_program.isEmpty())
        return fail(QStringLiteral("llvm-symbolizer not found (Debian's llvm package has it; or name it with --symbolizer)"));
    if (m_deadline.hasExpired())
        return fail(QStringLiteral("not tried: the symbolizer's %1 ms were spent").arg(m_options.timeoutMs));
    // File names as the line table gives them, as the handler reports them.
    QStringList arguments {QStringLiteral("--obj=") + QDir::toNativeSeparators(source.path), QStringLiteral("--output-style=JSON"),
                           QStringLiteral("--inlines"), QStringLiteral("--demangle"), QStringLiteral("--relativenames")};
    // A PE's offsets count from its image base, which the symbolizer adds itself.
    const bool pe = source.ids.format == QLatin1String("pe");
    if (pe)
        arguments << QStringLiteral("--relative-address");
    QByteArray input;
    for (const Request *r : requests)
        input += "0x" + QByteArray::number(r->lookup + (pe ? 0 : source.ids.loadBase), 16) + '\n';
    QProcess process;
    process.start(m_program, arguments);
    if (!process.waitForStarted(int(qMax<qint64>(1, m_deadline.remainingTime()))))
        return fail(QStringLiteral("llvm-symbolizer did not start: ") + process.errorString());
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(int(qMax<qint64>(1, m_deadline.remainingTime())))) {
        process.kill();
        process.waitForFinished(5000);
        return fail(QStringLiteral("llvm-symbolizer did not finish within the %1 ms allowed").arg(m_options.timeoutMs));
    }
    const QList<QByteArray> lines = process.readAllStandardOutput().trimmed().split('\n');
    if (lines.size() != int(requests.size()))
        return fail(QStringLiteral("llvm-symbolizer answered %1 of %2 addresses: %3")
                            .arg(lines.size()).arg(requests.size()).arg(QString::fromLocal8Bit(process.readAllStandardError()).trimmed()));
    for (size_t i = 0; i < requests.size(); ++i) {
        const QJsonObject answer = QJsonDocument::fromJson(lines.at(int(i))).object();
        const QString error = answer.value(QStringLiteral("Error")).toObject().value(QStringLiteral("Message")).toString();
        for (const QJsonValue &s : answer.value(QStringLiteral("Symbol")).toArray()) {
            Name n {s[QStringLiteral("FunctionName")].toString(), s[QStringLiteral("FileName")].toString(), s[QStringLiteral("Line")].toInt()};
            if (!n.function.isEmpty() && n.function != QLatin1String("??"))
                requests[i]->names.push_back(n);
        }
        if (requests[i]->names.empty())
            requests[i]->reason = (error.isEmpty() ? QStringLiteral("%1 names nothing at offset 0x%2")
                                                             .arg(QDir::toNativeSeparators(source.path)).arg(requests[i]->lookup, 0, 16)
                                                   : QStringLiteral("llvm-symbolizer: ") + error)
                    + (source.mismatches.isEmpty() ? QString() : QStringLiteral("; passed over: ") + source.mismatches.join(QLatin1String("; ")));
    }
}

QJsonObject Symbolizer::analysis(QJsonObject analysis, int *named, int *unnamed)
{
    const QJsonArray modules = analysis.value(QStringLiteral("modules")).toArray();
    QJsonArray threads = analysis.value(QStringLiteral("threads")).toArray();
    std::vector<Request> requests;
    std::map<QString, std::vector<size_t>> byFile;
    std::map<QString, Source> sources;
    std::map<std::pair<int, int>, QString> reasons;
    for (int t = 0; t < threads.size(); ++t) {
        const QJsonArray frames = threads[t].toObject().value(QStringLiteral("frames")).toArray();
        bool outermost = true; // the thread's first real frame holds the pc itself, the others return addresses
        for (int f = 0; f < frames.size(); ++f) {
            const QJsonObject frame = frames[f].toObject();
            const bool inlined = frame.value(kInlined).toBool();
            const bool first = outermost;
            if (!inlined)
                outermost = false;
            if (inlined || frame.contains(kFile) || !frame.contains(kModule))
                continue;
            // The frame's module, by name and (where the frame has one) build id.
            QJsonObject module;
            for (const QJsonValue &m : modules) {
                if (fileName(m[QStringLiteral("name")].toString()) == frame.value(kModule).toString()
                    && (!frame.contains(QStringLiteral("buildId")) || m[QStringLiteral("buildId")] == frame.value(QStringLiteral("buildId")))) {
                    module = m.toObject();
                    break;
                }
            }
            bool ok = false;
            quint64 offset = number(frame.value(kOffset), &ok);
            if (!frame.contains(kOffset)) { // older reports: the pc less the module's start
                bool pcOk = false;
                bool startOk = false;
                offset = number(frame.value(QStringLiteral("pc")), &pcOk) - number(module.value(QStringLiteral("start")), &startOk);
                ok = pcOk && startOk;
            }
            if (module.isEmpty() || !ok) {
                reasons[{t, f}] = module.isEmpty() ? QStringLiteral("the report lists no module %1").arg(frame.value(kModule).toString())
                                                   : QStringLiteral("the frame has no readable offset");
                continue;
            }
            const Source source = find(module);
            if (source.path.isEmpty()) {
                reasons[{t, f}] = source.reason;
                continue;
            }
            requests.push_back(Request {t, f, first || offset == 0 ? offset : offset - 1, source.path, {}, QString()});
            byFile[source.path].push_back(requests.size() - 1);
            sources[source.path] = source;
        }
    }
    for (const auto &entry : byFile) {
        std::vector<Request *> batch;
        for (size_t i : entry.second)
            batch.push_back(&requests[i]);
        name(sources.at(entry.first), batch);
    }
    std::map<std::pair<int, int>, const Request *> answered;
    for (const Request &r : requests)
        answered[{r.thread, r.frame}] = &r;

    for (int t = 0; t < threads.size(); ++t) {
        QJsonObject thread = threads[t].toObject();
        const QJsonArray frames = thread.value(QStringLiteral("frames")).toArray();
        QJsonArray out;
        for (int f = 0; f < frames.size(); ++f) {
            QJsonObject frame = frames[f].toObject();
            const auto a = answered.find({t, f});
            const auto r = reasons.find({t, f});
            if (a != answered.end() && !a->second->names.empty()) {
                const std::vector<Name> &names = a->second->names;
                for (size_t n = 0; n < names.size(); ++n) {
                    QJsonObject named = frame;
                    named.insert(kFunction, names[n].function);
                    named.remove(kFile);
                    named.remove(kLine);
                    if (!names[n].file.isEmpty() && names[n].line > 0) {
                        named.insert(kFile, names[n].file);
                        named.insert(kLine, names[n].line);
                    }
                    named.insert(QStringLiteral("symbolizedFrom"), QDir::toNativeSeparators(a->second->source));
                    if (n + 1 < names.size())
                        named.insert(kInlined, true);
                    out.append(named);
                }
                ++*named;
                continue;
            }
            if (a != answered.end() || r != reasons.end()) {
                frame.insert(kNotSymbolized, a != answered.end() ? a->second->reason : r->second);
                ++*unnamed;
            }
            out.append(frame);
        }
        thread.insert(QStringLiteral("frames"), out);
        threads[t] = thread;
    }
    analysis.insert(QStringLiteral("threads"), threads);
    return analysis;
}

} // namespace

Outcome run(const QJsonObject &report, const Options &options)
{
    QElapsedTimer clock;
    clock.start();
    Symbolizer symbolizer(options);
    Outcome outcome;
    outcome.report = report;
    QJsonObject crash = report.value(QStringLiteral("crash")).toObject();
    if (crash.contains(QStringLiteral("analysis")))
        crash.insert(QStringLiteral("analysis"), symbolizer.analysis(crash.value(QStringLiteral("analysis")).toObject(), &outcome.named, &outcome.unnamed));
    outcome.report.insert(QStringLiteral("crash"), crash);
    // A sub-process's crash, which the report carries in its session.
    QJsonObject session = report.value(QStringLiteral("session")).toObject();
    QJsonArray subProcesses = session.value(QStringLiteral("subProcesses")).toArray();
    for (int i = 0; i < subProcesses.size(); ++i) {
        QJsonObject sub = subProcesses[i].toObject();
        QJsonObject end = sub.value(QStringLiteral("end")).toObject();
        if (!end.contains(QStringLiteral("analysis")))
            continue;
        end.insert(QStringLiteral("analysis"), symbolizer.analysis(end.value(QStringLiteral("analysis")).toObject(), &outcome.named, &outcome.unnamed));
        sub.insert(QStringLiteral("end"), end);
        subProcesses[i] = sub;
    }
    if (!subProcesses.isEmpty()) {
        session.insert(QStringLiteral("subProcesses"), subProcesses);
        outcome.report.insert(QStringLiteral("session"), session);
    }
    outcome.report.insert(QStringLiteral("symbolized"), QJsonObject {
        {QStringLiteral("at"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("debugDirs"), QJsonArray::fromStringList(options.debugDirs)},
        {QStringLiteral("files"), symbolizer.files()},
        {QStringLiteral("framesNamed"), outcome.named},
        {QStringLiteral("framesUnnamed"), outcome.unnamed},
        {QStringLiteral("ms"), double(clock.elapsed())},
    });
    return outcome;
}

} // namespace Symbolize
