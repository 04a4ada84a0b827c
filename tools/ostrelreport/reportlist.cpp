#include "reportlist.h"

#include "reportfile.h"

#include <QDateTime>
#include <QDir>
#include <QTextStream>

#include <algorithm>
#include <map>
#include <vector>

namespace ReportList {

namespace {

struct Row
{
    QDateTime time;
    QString when;
    QString pid;
    QString app;
    QString kind;
    QString delivery;
    QString signature;
};

Row rowOf(const QDir &dir, const QString &name)
{
    QString error;
    const QJsonObject report = ReportFile::read(dir.filePath(name), &error);
    Row row;
    if (!error.isEmpty()) {
        row.when = row.pid = row.kind = row.delivery = QStringLiteral("-");
        row.app = name;
        row.signature = QStringLiteral("(not listed: %1)").arg(error);
        return row;
    }
    row.time = QDateTime::fromString(report.value(QStringLiteral("hostGoneAt")).toString(), Qt::ISODateWithMs);
    if (!row.time.isValid())
        row.time = QDateTime::fromString(report.value(QStringLiteral("writtenAt")).toString(), Qt::ISODateWithMs);
    row.when = row.time.isValid() ? row.time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'")) : QStringLiteral("-");
    row.pid = QString::number(qint64(report.value(QStringLiteral("hostPid")).toDouble()));
    row.app = report.value(QStringLiteral("appName")).toString();
    row.kind = report.value(QStringLiteral("crash")).toObject().value(QStringLiteral("kind")).toString();
    row.delivery = ReportFile::delivery(dir.filePath(name));
    row.signature = report.value(QStringLiteral("signature")).toString();
    if (row.signature.isEmpty())
        row.signature = QStringLiteral("(no signature)");
    return row;
}

void print(QTextStream &out, const std::vector<int> &widths, const QStringList &cells)
{
    QString line;
    for (int i = 0; i < cells.size(); ++i)
        line += i + 1 < cells.size() ? cells[i].leftJustified(widths[size_t(i)]) + QLatin1String("  ") : cells[i];
    out << line << '\n';
}

void table(QTextStream &out, const std::vector<QStringList> &rows)
{
    std::vector<int> widths(size_t(rows.front().size()), 0);
    for (const QStringList &r : rows)
        for (int i = 0; i < r.size(); ++i)
            widths[size_t(i)] = std::max(widths[size_t(i)], int(r[i].size()));
    for (const QStringList &r : rows)
        print(out, widths, r);
}

} // namespace

bool list(const QString &folder, bool group, QTextStream &out, QString *error)
{
    const QDir dir(folder);
    if (!dir.exists() || !dir.isReadable()) {
        *error = QStringLiteral("%1 is not a readable folder").arg(QDir::toNativeSeparators(folder));
        return false;
    }
    std::vector<Row> rows;
    for (const QString &name : dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name))
        if (ReportFile::isReportName(name))
            rows.push_back(rowOf(dir, name));
    std::stable_sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.time < b.time; });
    if (rows.empty()) {
        out << "No reports in " << QDir::toNativeSeparators(folder) << '\n';
        return true;
    }
    std::vector<QStringList> lines;
    if (!group) {
        lines.push_back({QStringLiteral("TIME"), QStringLiteral("PID"), QStringLiteral("APP"), QStringLiteral("KIND"),
                         QStringLiteral("DELIVERY"), QStringLiteral("SIGNATURE")});
        for (const Row &r : rows)
            lines.push_back({r.when, r.pid, r.app, r.kind, r.delivery, r.signature});
        table(out, lines);
        return true;
    }
    // One group per app, kind and signature: an exit without a signature is not grouped with a crash.
    struct Group
    {
        int count = 0;
        const Row *first = nullptr;
        const Row *last = nullptr;
    };
    std::map<QString, Group> groups;
    for (const Row &r : rows) {
        Group &g = groups[r.app + QLatin1Char('\n') + r.kind + QLatin1Char('\n') + r.signature];
        ++g.count;
        if (!g.first)
            g.first = &r;
        g.last = &r;
    }
    std::vector<const Group *> order;
    for (const auto &g : groups)
        order.push_back(&g.second);
    std::stable_sort(order.begin(), order.end(), [](const Group *a, const Group *b) {
        return a->count != b->count ? a->count > b->count : a->last->time > b->last->time;
    });
    lines.push_back({QStringLiteral("COUNT"), QStringLiteral("FIRST"), QStringLiteral("LAST"), QStringLiteral("APP"),
                     QStringLiteral("KIND"), QStringLiteral("SIGNATURE")});
    for (const Group *g : order)
        lines.push_back({QString::number(g->count), g->first->when, g->last->when, g->first->app, g->first->kind, g->first->signature});
    table(out, lines);
    return true;
}

} // namespace ReportList
