// ostrel-report: reads the crash handler's reports offline.
//   ostrel-report symbolize <report.json> [--debug-dir DIR]... [--symbolizer PROGRAM]
//   ostrel-report list [--group] <dump folder>
// Exit codes: 0 done, 1 the input could not be used (the reason on stderr), 2 usage.

#include "report/crashreport.h"
#include "reportfile.h"
#include "reportlist.h"
#include "symbolize.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>

namespace {

int usage(QTextStream &err)
{
    err << "usage: ostrel-report symbolize <report.json> [--debug-dir DIR]... [--symbolizer PROGRAM]\n"
           "       ostrel-report list [--group] <dump folder>\n";
    return 2;
}

int symbolize(const QStringList &args, QTextStream &out, QTextStream &err)
{
    QString reportPath;
    Symbolize::Options options;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if ((a == QLatin1String("--debug-dir") || a == QLatin1String("--symbolizer")) && i + 1 < args.size())
            (a == QLatin1String("--debug-dir") ? options.debugDirs.append(args[++i]) : void(options.symbolizer = args[++i]));
        else if (reportPath.isEmpty() && !a.startsWith(QLatin1String("--")))
            reportPath = a;
        else
            return usage(err);
    }
    if (reportPath.isEmpty())
        return usage(err);
    QString error;
    const QJsonObject report = ReportFile::read(reportPath, &error);
    if (!error.isEmpty()) {
        err << QDir::toNativeSeparators(reportPath) << ": " << error << '\n';
        return 1;
    }
    const Symbolize::Outcome outcome = Symbolize::run(report, options);
    const QString target = ReportFile::symbolizedPath(reportPath);
    if (!CrashReport::write(target, outcome.report, &error)) {
        err << QDir::toNativeSeparators(target) << ": " << error << '\n';
        return 1;
    }
    out << QDir::toNativeSeparators(target) << ": " << outcome.named << " frame(s) named, " << outcome.unnamed << " left unnamed in "
        << outcome.report.value(QStringLiteral("symbolized")).toObject().value(QStringLiteral("ms")).toDouble() << " ms\n";
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList args = app.arguments().mid(1);
    const QString command = args.isEmpty() ? QString() : args.takeFirst();
    if (command == QLatin1String("symbolize"))
        return symbolize(args, out, err);
    if (command == QLatin1String("list")) {
        const bool group = args.removeAll(QStringLiteral("--group")) > 0;
        if (args.size() != 1 || args.first().startsWith(QLatin1String("--")))
            return usage(err);
        QString error;
        if (!ReportList::list(args.first(), group, out, &error)) {
            err << error << '\n';
            return 1;
        }
        return 0;
    }
    return usage(err);
}
