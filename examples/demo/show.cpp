#include "show.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <QTextStream>

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

void heading(const QString &title)
{
    out() << "\n== " << title << '\n';
}

QString quoted(const QString &arg)
{
    static const QRegularExpression special(QStringLiteral("[\\s'\"\\\\$]"));
    if (!arg.isEmpty() && !arg.contains(special))
        return arg;
    return QLatin1Char('\'') + QString(arg).replace(QLatin1String("'"), QLatin1String("'\\''")) + QLatin1Char('\'');
}

QList<QJsonObject> readJournal(const QString &path)
{
    QList<QJsonObject> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    while (!file.atEnd()) {
        const QJsonDocument doc = QJsonDocument::fromJson(file.readLine());
        if (doc.isObject())
            entries.append(doc.object());
    }
    return entries;
}

// One journal line as a short readable line, relative to the first line's time.
QString describe(const QJsonObject &e, const QDateTime &t0)
{
    const QDateTime t = QDateTime::fromString(e.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
    const QString at = QStringLiteral("+%1 ms").arg(t0.msecsTo(t), 6);
    const QString event = e.value(QStringLiteral("event")).toString();
    const QString conn = QStringLiteral("conn %1").arg(e.value(QStringLiteral("connection")).toInt());
    if (event == QLatin1String("message")) {
        QString text = e.value(QStringLiteral("text")).toString();
        if (text.isEmpty())
            text = QStringLiteral("(empty frame: no cloud configuration stored)");
        QString note;
        if (e.contains(QStringLiteral("error")))
            note = QStringLiteral("   <- ") + e.value(QStringLiteral("error")).toString();
        else if (e.value(QStringLiteral("unknown")).toBool())
            note = QStringLiteral("   <- unknown command");
        return QStringLiteral("%1  %2  %3%4").arg(at, conn, text, note);
    }
    if (event == QLatin1String("start"))
        return QStringLiteral("%1  [handler %2 started, watching the host by %3]")
                .arg(at).arg(e.value(QStringLiteral("handlerPid")).toInt()).arg(e.value(QStringLiteral("hostWatch")).toString());
    if (event == QLatin1String("subProcessExited"))
        return QStringLiteral("%1  [sub-process %2 (%3) ended while the host ran]")
                .arg(at).arg(e.value(QStringLiteral("pid")).toInt()).arg(e.value(QStringLiteral("appName")).toString());
    if (event == QLatin1String("connection") || event == QLatin1String("disconnection"))
        return QStringLiteral("%1  [%2 %3]").arg(at, conn, event == QLatin1String("connection") ? QStringLiteral("opened") : QStringLiteral("closed"));
    if (event == QLatin1String("crashReport"))
        return QStringLiteral("%1  [crash report written]").arg(at);
    if (event == QLatin1String("hostEnd"))
        return QStringLiteral("%1  [host %2: %3]").arg(at, e.value(QStringLiteral("kind")).toString(), e.value(QStringLiteral("summary")).toString());
    if (event == QLatin1String("coreLimit"))
        return QStringLiteral("%1  [no core for pid %2: core size limit %3]")
                .arg(at).arg(e.value(QStringLiteral("pid")).toInt()).arg(e.value(QStringLiteral("note")).toString());
    return QStringLiteral("%1  [%2%3]").arg(at, event,
            e.contains(QStringLiteral("connection")) ? QLatin1Char(' ') + conn : QString());
}

void printTail(const QString &label, const QJsonObject &tail, int lines)
{
    out() << "  " << label << ": " << tail.value(QStringLiteral("path")).toString();
    if (!tail.value(QStringLiteral("found")).toBool()) {
        out() << "  (" << tail.value(QStringLiteral("error")).toString() << ")\n";
        return;
    }
    const QStringList all = tail.value(QStringLiteral("tail")).toString().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    out() << "  (" << qint64(tail.value(QStringLiteral("size")).toDouble()) << " bytes, last " << qMin(lines, all.size())
          << " lines of the tail)\n";
    for (const QString &line : all.mid(qMax(0, all.size() - lines)))
        out() << "      | " << line.left(150) << '\n';
}

// Where the OS's record of the crash (core or dump) went, or why there is none.
QString coreFate(const QJsonObject &core)
{
    if (core.contains(QStringLiteral("keptAt")))
        return core.value(QStringLiteral("keptAt")).toString();
    if (core.contains(QStringLiteral("foundAt")))
        return core.value(QStringLiteral("foundAt")).toString()
                + (core.value(QStringLiteral("removed")).toBool() ? QStringLiteral(" (read, then removed)") : QString());
    return core.value(QStringLiteral("reason")).toString();
}

// How the host ended and, from its core or dump, the crashing thread's frames.
void printCrash(const QJsonObject &crash)
{
    const QJsonObject core = crash.value(QStringLiteral("core")).toObject();
    const QJsonObject analysis = crash.value(QStringLiteral("analysis")).toObject();
    out() << "  how it ended:  " << crash.value(QStringLiteral("kind")).toString() << ", "
          << QJsonDocument(crash.value(QStringLiteral("end")).toObject()).toJson(QJsonDocument::Compact) << '\n'
          << "  core or dump:  " << coreFate(core) << '\n';
    if (analysis.contains(QStringLiteral("error")))
        out() << "  analysis failed: " << analysis.value(QStringLiteral("error")).toString() << '\n';
    const QJsonArray threads = analysis.value(QStringLiteral("threads")).toArray();
    if (threads.isEmpty())
        return;
    out() << "  analysis:      " << threads.size() << " threads, " << analysis.value(QStringLiteral("modules")).toArray().size()
          << " modules, read in " << analysis.value(QStringLiteral("analysisMs")).toInt() << " ms\n";
    const QJsonObject first = threads.first().toObject();
    const QString name = first.value(QStringLiteral("name")).toString();
    out() << "  crashing thread " << qint64(first.value(QStringLiteral("tid")).toDouble())
          << (name.isEmpty() ? QString() : QStringLiteral(" (") + name + QLatin1Char(')')) << ":\n";
    const QJsonArray frames = first.value(QStringLiteral("frames")).toArray();
    for (int i = 0; i < frames.size() && i < 8; ++i) {
        const QJsonObject f = frames.at(i).toObject();
        out() << "    #" << i << ' ' << f.value(QStringLiteral("pc")).toString() << ' '
              << f.value(QStringLiteral("function")).toString(QStringLiteral("??")) << " in " << f.value(QStringLiteral("module")).toString();
        if (f.contains(QStringLiteral("offset")))
            out() << '+' << f.value(QStringLiteral("offset")).toString();
        if (f.contains(QStringLiteral("file")))
            out() << " at " << f.value(QStringLiteral("file")).toString() << ':' << f.value(QStringLiteral("line")).toInt();
        out() << '\n';
    }
}

void printReport(const QString &path, const QJsonObject &r)
{
    const QJsonObject s = r.value(QStringLiteral("session")).toObject();
    const QJsonObject login = s.value(QStringLiteral("login")).toObject();
    const QJsonObject cloud = s.value(QStringLiteral("cloudConfig")).toObject();
    const QJsonObject node = s.value(QStringLiteral("streamNode")).toObject();
    out() << "  file:          " << path << '\n'
          << "  host:          " << r.value(QStringLiteral("appName")).toString() << ", pid "
          << qint64(r.value(QStringLiteral("hostPid")).toDouble()) << ", client " << r.value(QStringLiteral("clientName")).toString() << '\n'
          << "  parameters:    " << r.value(QStringLiteral("handlerParams")).toVariant().toStringList().join(QLatin1String(", ")) << '\n'
          << "  handler start: " << r.value(QStringLiteral("handlerStartedAt")).toString() << '\n'
          << "  host gone:     " << r.value(QStringLiteral("hostGoneAt")).toString() << '\n'
          << "  cloud config:  " << cloud.value(QStringLiteral("config1")).toString() << " / " << cloud.value(QStringLiteral("config2")).toString() << '\n'
          << "  user, live:    " << login.value(QStringLiteral("userId")).toString() << ", " << login.value(QStringLiteral("liveId")).toString()
          << " (flag " << login.value(QStringLiteral("liveFlag")).toString() << ")\n"
          << "  stream node:   " << node.value(QStringLiteral("node")).toString() << " " << node.value(QStringLiteral("nodeDetail")).toString() << '\n';
    for (const QJsonValue &v : s.value(QStringLiteral("exceptionChecks")).toArray())
        out() << "  exception:     " << v[QStringLiteral("info1")].toString() << " / " << v[QStringLiteral("info2")].toString() << '\n';
    for (const QJsonValue &v : s.value(QStringLiteral("subProcesses")).toArray())
        out() << "  sub-process:   " << v[QStringLiteral("appName")].toString() << " pid " << v[QStringLiteral("pid")].toString()
              << ", role " << v[QStringLiteral("role")].toString() << ", status " << v[QStringLiteral("status")].toInt() << '\n';
    const QJsonObject info = r.value(QStringLiteral("clientInfo")).toObject();
    out() << "  client info:   " << (info.value(QStringLiteral("found")).toBool() ? QStringLiteral("read") : QStringLiteral("MISSING"))
          << ", " << QJsonDocument(info.value(QStringLiteral("attributes")).toObject()).toJson(QJsonDocument::Compact) << '\n';
    const QJsonObject logs = r.value(QStringLiteral("logs")).toObject();
    printTail(QStringLiteral("host log"), logs.value(QStringLiteral("host")).toObject(), 4);
    for (const QJsonValue &v : logs.value(QStringLiteral("thirdparty")).toArray())
        printTail(QStringLiteral("third-party log"), v.toObject(), 3);
}

} // namespace

int showDemoRun(const QString &workDir)
{
    const QDir dumps(workDir + QLatin1String("/dumps"));
    const QStringList journals = dumps.entryList({QStringLiteral("*.journal.jsonl")}, QDir::Files, QDir::Time);
    if (journals.isEmpty()) {
        out() << "no crash handler journal in " << dumps.path() << ": the handler never ran, or the session ended cleanly (its journal is removed then)\n";
        return 1;
    }
    const QList<QJsonObject> journal = readJournal(dumps.filePath(journals.first()));
    const QDateTime t0 = QDateTime::fromString(journal.value(0).value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);

    heading(QStringLiteral("Crash handler command line"));
    QString reportPath;
    QString infoPath;
    for (const QJsonObject &e : journal) {
        const QString event = e.value(QStringLiteral("event")).toString();
        if (event == QLatin1String("start")) {
            const QStringList args = e.value(QStringLiteral("arguments")).toVariant().toStringList();
            QStringList line {QStringLiteral("KivCrashHandler.exe")};
            for (const QString &arg : args)
                line.append(quoted(arg));
            // Where the library keeps the client info file, named from the client name and pid.
            infoPath = QDir::homePath() + QStringLiteral("/AppData/Local/OstrelSDK/KivClientInfo_%1_%2.xml")
                                                  .arg(args.value(3), args.value(0));
            out() << "  " << line.join(QLatin1Char(' ')) << '\n';
        } else if (event == QLatin1String("crashReport")) {
            reportPath = e.value(QStringLiteral("path")).toString();
        }
    }

    heading(QStringLiteral("What the crash handler received, in order (") + dumps.filePath(journals.first()) + QLatin1Char(')'));
    for (const QJsonObject &e : journal)
        out() << "  " << describe(e, t0) << '\n';

    QJsonObject report;
    QFile reportFile(reportPath);
    if (!reportPath.isEmpty() && reportFile.open(QIODevice::ReadOnly)) {
        report = QJsonDocument::fromJson(reportFile.readAll()).object();
        infoPath = report.value(QStringLiteral("clientInfo")).toObject().value(QStringLiteral("path")).toString();
    }

    heading(QStringLiteral("Client info file (") + (infoPath.isEmpty() ? QStringLiteral("unknown") : infoPath) + QLatin1Char(')'));
    QFile info(infoPath);
    if (!infoPath.isEmpty() && info.open(QIODevice::ReadOnly))
        out() << "  " << QString::fromUtf8(info.readAll()).trimmed().replace(QLatin1String("\n"), QLatin1String("\n  ")) << '\n';
    else
        out() << "  (not found)\n";

    heading(QStringLiteral("Crash report"));
    if (report.isEmpty()) {
        out() << "  none written (a clean exit, or the handler is still at work)\n";
        out().flush();
        return 1;
    }
    printReport(reportPath, report);
    heading(QStringLiteral("What crashed"));
    printCrash(report.value(QStringLiteral("crash")).toObject());
    out().flush();
    return 0;
}
