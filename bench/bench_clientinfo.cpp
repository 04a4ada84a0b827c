// Host-thread cost of the client info writers, against the floor of rewriting the same bytes with
// a plain QFile (open WriteOnly|Truncate, write, close), and QSettings setValue + sync for
// comparison. Every writer parses the file and rewrites it whole (nothing is cached), so the gap to
// the floor is the read and the parse. The writers' debug lines go to a handler that drops them:
// their formatting is counted, the terminal is not.

#include "clientinfo/clientinfowriters.h"
#include "clientinfo/kivoperateini.h"
#include "common/qtcompat.h"

#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <vector>

namespace {

const QString kGroup = QStringLiteral("ClientInfo");

QString clientInfoPath()
{
    return QDir::homePath() + QStringLiteral("/AppData/Local/OstrelSDK/KivClientInfo_bench_%1.xml")
                                  .arg(QCoreApplication::applicationPid());
}

QByteArray fileBytes()
{
    QFile file(clientInfoPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void dropMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

// The store as the writers leave it in a running host: all five attributes set.
void fillClientInfo()
{
    writeIniFileClientLogInfo(QStringLiteral("C:/Users/someone/AppData/Local/Host/logs/host.log"));
    writeIniFileUserInfo(QStringLiteral("1234567890"));
    writeIniFileLiveInfo(QStringLiteral("live-987654"), true);
    writeIniFileStreamNodeInfo(QStringLiteral("node-eu-3"));
    KivOperateIni::instance()->setOption(QStringLiteral("thirdpartyLogPath"), QStringLiteral("C:/a/x.log;C:/b/y.log"), kGroup);
}

void BM_WriterUserInfo(benchmark::State &state)
{
    int i = 0;
    for (auto _ : state)
        writeIniFileUserInfo((i++ & 1) ? QStringLiteral("1234567890") : QStringLiteral("1234567891"));
}

void BM_WriterStreamNode(benchmark::State &state)
{
    int i = 0;
    for (auto _ : state)
        writeIniFileStreamNodeInfo((i++ & 1) ? QStringLiteral("node-eu-3") : QStringLiteral("node-eu-4"));
}

// An append that writes: the list is put back to two entries (untimed) before each call.
void BM_WriterAppendThirdparty(benchmark::State &state)
{
    KivOperateIni *store = KivOperateIni::instance();
    const QString key = QStringLiteral("thirdpartyLogPath");
    const QString two = QStringLiteral("C:/a/x.log;C:/b/y.log");
    for (auto _ : state) {
        state.PauseTiming();
        store->setOption(key, two, kGroup);
        state.ResumeTiming();
        appendIniFileThirdpartyLogInfo(QStringLiteral("C:/c/z.log"));
    }
    store->setOption(key, two, kGroup);
}

// An append that finds the path already listed: read and parse only.
void BM_WriterAppendThirdpartyDuplicate(benchmark::State &state)
{
    for (auto _ : state)
        appendIniFileThirdpartyLogInfo(QStringLiteral("C:/b/y.log"));
}

void BM_FloorQFileRewrite(benchmark::State &state)
{
    const QByteArray bytes = fileBytes();
    const QString path = clientInfoPath() + QStringLiteral(".floor");
    for (auto _ : state) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            state.SkipWithError("cannot open the floor file");
            break;
        }
        file.write(bytes);
        file.close();
    }
    state.SetLabel(std::to_string(bytes.size()) + " bytes");
    QFile::remove(path);
}

void BM_QSettingsSetValueSync(benchmark::State &state)
{
    QSettings settings(QDir::homePath() + QStringLiteral("/bench.ini"), QSettings::IniFormat);
    settings.setValue(QStringLiteral("ClientInfo/logPath"), QStringLiteral("C:/Users/someone/AppData/Local/Host/logs/host.log"));
    settings.setValue(QStringLiteral("ClientInfo/liveid"), QStringLiteral("live-987654"));
    settings.sync();
    int i = 0;
    for (auto _ : state) {
        settings.setValue(QStringLiteral("ClientInfo/id"), (i++ & 1) ? QStringLiteral("1234567890") : QStringLiteral("1234567891"));
        settings.sync();
    }
}

// Where the writer's CPU time goes, in memory: the parse, and the save with the store's encoding
// policy (EncodingFromDocument: Qt reads the encoding from the declaration with a regular
// expression that it builds and JIT-compiles on every save) against a stream with its codec set.
void BM_DomParse(benchmark::State &state)
{
    const QByteArray bytes = fileBytes();
    for (auto _ : state) {
        QDomDocument doc;
        benchmark::DoNotOptimize(doc.setContent(bytes));
    }
}

void BM_DomSave(benchmark::State &state)
{
    QDomDocument doc;
    doc.setContent(fileBytes());
    const bool fromDocument = state.range(0) == 0;
    for (auto _ : state) {
        QByteArray out;
        QBuffer buffer(&out);
        buffer.open(QIODevice::WriteOnly);
        QTextStream stream(&buffer);
        if (!fromDocument)
            QtCompat::setUtf8(stream);
        doc.save(stream, 4, fromDocument ? QDomNode::EncodingFromDocument : QDomNode::EncodingFromTextStream);
        stream.flush();
        benchmark::DoNotOptimize(out.size());
    }
    state.SetLabel(fromDocument ? "EncodingFromDocument" : "EncodingFromTextStream");
}

// File system time dominates and is noisy on a shared machine: with --benchmark_repetitions the
// minimum of the repetitions is reported too, the figure to compare with the floor.
double minimum(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}

} // namespace

BENCHMARK(BM_FloorQFileRewrite)->ComputeStatistics("min", minimum);
BENCHMARK(BM_WriterUserInfo)->ComputeStatistics("min", minimum);
BENCHMARK(BM_WriterStreamNode)->ComputeStatistics("min", minimum);
BENCHMARK(BM_WriterAppendThirdparty)->ComputeStatistics("min", minimum);
BENCHMARK(BM_WriterAppendThirdpartyDuplicate)->ComputeStatistics("min", minimum);
BENCHMARK(BM_QSettingsSetValueSync)->ComputeStatistics("min", minimum);
BENCHMARK(BM_DomParse);
BENCHMARK(BM_DomSave)->Arg(0)->Arg(1);

int main(int argc, char **argv)
{
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", QFile::encodeName(home.path()));
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(dropMessages);
    writeIniFile(QStringLiteral("bench"));
    fillClientInfo();
    if (fileBytes().isEmpty())
        return 1;

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
