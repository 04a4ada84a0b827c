#include "capture/capture.h"

#include "capture/dumpreader.h"
#include "capture/dumplocator.h"
#include "report/crashsignature.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>

namespace Capture {

namespace {

QString threadLabel(const QJsonObject &thread, qint64 pid)
{
    const qint64 tid = qint64(thread.value(QStringLiteral("tid")).toDouble());
    if (tid == pid)
        return QStringLiteral("main");
    const QString name = thread.value(QStringLiteral("name")).toString();
    return name.isEmpty() ? QStringLiteral("%1").arg(tid) : QStringLiteral("%1 (%2)").arg(name).arg(tid);
}

} // namespace

QString summaryLine(const QString &appName, ProcessEnd::Kind kind, const QJsonObject &crash, bool isHost)
{
    const QString withoutExitClient = isHost ? QStringLiteral(" without saying ExitClient") : QString();
    const QJsonObject end = crash.value(QStringLiteral("end")).toObject();
    const QJsonObject analysis = crash.value(QStringLiteral("analysis")).toObject();
    QString signalName = end.value(QStringLiteral("signalName")).toString(analysis.value(QStringLiteral("signalName")).toString());
    // On Windows an exception's name and code stand where a signal's name and code do.
    const QString exceptionCode = end.value(QStringLiteral("exceptionCode")).toString(analysis.value(QStringLiteral("exceptionCode")).toString());
    if (signalName.isEmpty())
        signalName = end.value(QStringLiteral("exceptionName")).toString(analysis.value(QStringLiteral("exceptionName")).toString());
    const bool minidump = crash.value(QStringLiteral("core")).toObject().value(QStringLiteral("format")).toString() == QLatin1String("minidump");
    switch (kind) {
    case ProcessEnd::Exited:
        return QStringLiteral("%1 exited with status %2%3").arg(appName).arg(end.value(QStringLiteral("exitCode")).toInt()).arg(withoutExitClient);
    case ProcessEnd::Killed:
        return QStringLiteral("%1 was killed: %2").arg(appName, signalName);
    case ProcessEnd::Unknown:
        return QStringLiteral("%1 ended%2; how it ended is unknown: %3")
                .arg(appName, withoutExitClient, end.value(QStringLiteral("reason")).toString());
    case ProcessEnd::Crashed:
        break;
    }
    QString line = QStringLiteral("%1 crashed: %2").arg(appName, signalName);
    if (!analysis.contains(QStringLiteral("threads"))) {
        const QString why = analysis.contains(QStringLiteral("error"))
                ? QStringLiteral("analysis failed: ") + analysis.value(QStringLiteral("error")).toString()
                : (minidump ? QStringLiteral("no dump: ") : QStringLiteral("no core: "))
                        + crash.value(QStringLiteral("core")).toObject().value(QStringLiteral("reason")).toString();
        return line + QStringLiteral(" (") + (exceptionCode.isEmpty() ? QString() : exceptionCode + QStringLiteral("; ")) + why + QLatin1Char(')');
    }
    if (analysis.contains(QStringLiteral("codeName")))
        line += QStringLiteral(" (") + analysis.value(QStringLiteral("codeName")).toString() + QLatin1Char(')');
    else if (!exceptionCode.isEmpty())
        line += QStringLiteral(" (") + exceptionCode + QLatin1Char(')');
    if (analysis.contains(QStringLiteral("access"))) // "writing 0x0"
        line += QLatin1Char(' ') + analysis.value(QStringLiteral("access")).toString() + QLatin1Char(' ') + analysis.value(QStringLiteral("address")).toString();
    else if (analysis.contains(QStringLiteral("address")))
        line += QStringLiteral(" at ") + analysis.value(QStringLiteral("address")).toString();
    const QJsonArray threads = analysis.value(QStringLiteral("threads")).toArray();
    if (threads.isEmpty())
        return line;
    const QJsonObject first = threads.first().toObject();
    line += QStringLiteral(" in thread ") + threadLabel(first, qint64(analysis.value(QStringLiteral("pid")).toDouble()));
    // The crash site: the innermost frame of the application's own code (crashsignature.h).
    const QJsonArray frames = first.value(QStringLiteral("frames")).toArray();
    const int site = CrashSignature::siteIndex(frames, analysis.value(QStringLiteral("modules")).toArray(),
                                               crash.value(QStringLiteral("process")).toObject().value(QStringLiteral("executable")).toString());
    if (site >= 0)
        line += QStringLiteral(": ") + CrashSignature::frameText(frames.at(site).toObject());
    return line;
}

Result run(const ProcessFacts &facts, const ProcessEnd &end, const Options &options)
{
    QElapsedTimer clock;
    clock.start();
    Result result;
    result.kind = end.kind;
    QJsonObject crash {{QStringLiteral("end"), end.toJson()}, {QStringLiteral("process"), facts.toJson()}};

    DumpSearch search = findDump(facts, end, options.scratchFolder, kDumpWaitMs);
    QJsonObject core = search.details;
    if (!search.collector.isEmpty())
        core.insert(QStringLiteral("collector"), search.collector);

    if (search.dump.path.isEmpty()) {
        core.insert(QStringLiteral("reason"), search.reason);
    } else {
        core.insert(QStringLiteral("foundAt"), search.dump.path);
        QJsonObject analysis = DumpReader::analyzeIsolated(options.program, search.dump.path, facts.executable);
        const double owner = analysis.value(QStringLiteral("pid")).toDouble(-1);
        if (owner >= 0 && qint64(owner) != facts.pid) {
            // Somebody else's core that matched the pattern: not ours to read out or to move.
            core.insert(QStringLiteral("reason"), QStringLiteral("the core at %1 belongs to pid %2").arg(search.dump.path).arg(qint64(owner)));
            core.remove(QStringLiteral("foundAt"));
            if (search.dump.handlerCopy)
                QFile::remove(search.dump.path);
        } else {
            // Thread names the core cannot hold, from what was seen while the process lived.
            QJsonArray threads = analysis.value(QStringLiteral("threads")).toArray();
            for (int i = 0; i < threads.size(); ++i) {
                QJsonObject t = threads.at(i).toObject();
                const QString name = facts.threads.value(qint64(t.value(QStringLiteral("tid")).toDouble()));
                if (!name.isEmpty())
                    t.insert(QStringLiteral("name"), name);
                threads[i] = t;
            }
            if (analysis.contains(QStringLiteral("threads")))
                analysis.insert(QStringLiteral("threads"), threads);
            crash.insert(QStringLiteral("analysis"), analysis);
            if (result.kind == ProcessEnd::Unknown
                && (analysis.value(QStringLiteral("signal")).toInt() > 0 || analysis.contains(QStringLiteral("exceptionCode"))))
                result.kind = ProcessEnd::Crashed; // the core proves it, where the OS said nothing

            result.dump = search.dump;
        }
    }
    crash.insert(QStringLiteral("core"), core);
    crash.insert(QStringLiteral("kind"), ProcessEnd::kindName(result.kind));
    crash.insert(QStringLiteral("captureMs"), double(clock.elapsed()));
    const QJsonArray threads = crash.value(QStringLiteral("analysis")).toObject().value(QStringLiteral("threads")).toArray();
    if (result.kind == ProcessEnd::Crashed && !threads.isEmpty()) {
        const CrashSignature::Signature signature = CrashSignature::compute(
                threads.first().toObject().value(QStringLiteral("frames")).toArray(),
                crash.value(QStringLiteral("analysis")).toObject().value(QStringLiteral("modules")).toArray(), facts.executable);
        crash.insert(QStringLiteral("signature"), signature.text);
        crash.insert(QStringLiteral("signatureFrames"), QJsonArray::fromStringList(signature.frames));
    }
    result.summary = summaryLine(options.appName, result.kind, crash, options.isHost);
    crash.insert(QStringLiteral("summary"), result.summary);
    result.report = crash;

    result.journal = QJsonObject {
        {QStringLiteral("kind"), ProcessEnd::kindName(result.kind)},
        {QStringLiteral("end"), end.toJson()},
        {QStringLiteral("summary"), result.summary},
        {QStringLiteral("core"), core},
    };
    return result;
}

void placeDump(Result *result, const QString &stem, bool keep)
{
    if (result->dump.path.isEmpty())
        return;
    QJsonObject core = result->report.value(QStringLiteral("core")).toObject();
    const QString keptPath = stem + result->dump.extension;
    if (keep && QFile::rename(result->dump.path, keptPath)) {
        core.insert(QStringLiteral("keptAt"), keptPath);
    } else {
        QFile::remove(result->dump.path);
        core.insert(QStringLiteral("removed"), true);
    }
    result->dump.path.clear();
    result->report.insert(QStringLiteral("core"), core);
    result->journal.insert(QStringLiteral("core"), core);
}

} // namespace Capture
