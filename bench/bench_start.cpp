// Start-up cost as a host sees it: loading the shared library and calling StartCrash when no
// registration is needed (so the only outside work is one detached launch of the crash handler),
// and the memory the library adds. Each measurement is a fresh child process (bench_start_host),
// since both happen once per process; the floor is the same child doing only the detached launch.

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>

namespace {

struct Sample
{
    double wallNs = 0;
    double cpuNs = 0;
    double rssBefore = 0;
    double rssAfter = 0;
    double rssLater = 0;
    double loadNs = 0;
};

bool runChild(const char *mode, Sample &sample)
{
    QProcess child;
    child.setStandardErrorFile(QProcess::nullDevice());
    child.start(QCoreApplication::applicationDirPath() + QLatin1String("/bench_start_host"),
                {QLatin1String(mode)});
    if (!child.waitForFinished(30000) || child.exitCode() != 0)
        return false;
    const QList<QByteArray> fields = child.readAllStandardOutput().simplified().split(' ');
    if (fields.size() != 6)
        return false;
    sample.wallNs = fields[0].toDouble();
    sample.cpuNs = fields[1].toDouble();
    sample.rssBefore = fields[2].toDouble();
    sample.rssAfter = fields[3].toDouble();
    sample.rssLater = fields[4].toDouble();
    sample.loadNs = fields[5].toDouble();
    return true;
}

void BM_Start(benchmark::State &state, const char *mode)
{
    double cpu = 0;
    double added = 0;
    double addedLater = 0;
    double load = 0;
    for (auto _ : state) {
        Sample s;
        if (!runChild(mode, s)) {
            state.SkipWithError("child host failed");
            return;
        }
        state.SetIterationTime(s.wallNs / 1e9);
        cpu += s.cpuNs;
        added += s.rssAfter - s.rssBefore;
        addedLater += s.rssLater - s.rssBefore;
        load += s.loadNs;
    }
    const double n = double(state.iterations());
    state.counters["cpu_ms"] = cpu / n / 1e6;
    state.counters["rss_added_KiB"] = added / n / 1024;
    state.counters["rss_added_after_first_attempt_KiB"] = addedLater / n / 1024;
    state.counters["load_ms"] = load / n / 1e6;
}

} // namespace

BENCHMARK_CAPTURE(BM_Start, library_load_and_StartCrash, "start")
        ->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Start, floor_detached_launch, "floor")
        ->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
