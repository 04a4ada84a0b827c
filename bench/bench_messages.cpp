// Host-thread cost of the handler messages once connected, against the physical floor of the same
// work: a raw QLocalSocket write + flush of the very same frame on a second connection to the same
// reading handler. Also the burst: 100,000 checkExceptionInfos in a row, every frame checked on
// arrival, against the same burst of raw writes.
//
// This program is the host: it serves "Kiv_Crash_Handler_<pid>" from a reader thread, calls
// StartCrash (which launches the harmless KivCrashHandler.exe beside it) and waits until the
// library has connected.

#include "support/benchsupport.h"
#include "support/handlerreader.h"

#include "crashmanage/crashmanage.h"

#include <OstrelSDK/ostrelsdk.h>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QVector>

#include <algorithm>
#include <cstdio>

namespace {

HandlerReader *s_reader = nullptr;
QLocalSocket *s_raw = nullptr; // the floor: a plain socket connected to the same handler

const QString kInfo1 = QStringLiteral("0xC0000005");
const QString kInfo2 = QStringLiteral("D:/Program Files/Host/modules/render.dll+0x1a2b3c");
const QString kNode = QStringLiteral("node-eu-west-3.stream.example");
const QString kNodeDetail = QStringLiteral("{\"rtt\":38,\"proto\":\"quic\"}");
const QString kSubApp = QStringLiteral("worker.exe");
const QString kSubPid = QStringLiteral("48213");
const QString kSubLog = QStringLiteral("D:/logs/worker_48213.log");

QByteArray frameOf(const QString &text)
{
    return text.toUtf8() + '$';
}

QByteArray subProcessFrame()
{
    QJsonObject o;
    o.insert(QStringLiteral("appName"), kSubApp);
    o.insert(QStringLiteral("dmpPath"), QStringLiteral("D:\\dumps\\worker"));
    o.insert(QStringLiteral("role"), QStringLiteral("renderer"));
    o.insert(QStringLiteral("status"), 0);
    o.insert(QStringLiteral("subLogFile"), kSubLog);
    o.insert(QStringLiteral("subProcessPid"), kSubPid);
    o.insert(QStringLiteral("version"), QStringLiteral("2.1.0"));
    return "subProcessInfo@" + QJsonDocument(o).toJson(QJsonDocument::Compact) + '$';
}

void setLogging(bool on)
{
    Ostrel_SDK::logSwitch(on);
}

// ---- (1) one guarded message vs one raw write + flush of the same frame ------------------------
//
// Each iteration times one library call and one raw write of the same frame, back to back, in
// alternating order, and keeps every sample: the two then meet the same reader (awake or asleep)
// and the same machine noise, and the medians compare like with like. The reported time is the
// library call's; the counters hold both medians and their ratio.

enum class Message { CheckExceptionInfos, StreamNode, SubProcessPid };

QByteArray floorFrame(Message message)
{
    switch (message) {
    case Message::CheckExceptionInfos:
        return frameOf(QLatin1String("ExceptionCheck@") + kInfo1 + QLatin1Char('@') + kInfo2);
    case Message::StreamNode:
        return frameOf(QLatin1String("StreamNode@") + kNode + QLatin1Char('@') + kNodeDetail);
    case Message::SubProcessPid:
        return subProcessFrame();
    }
    return QByteArray();
}

inline void send(Message message)
{
    switch (message) {
    case Message::CheckExceptionInfos:
        Ostrel_SDK::checkExceptionInfos(kInfo1, kInfo2);
        break;
    case Message::StreamNode:
        // setStreamNode's socket part: the client info file write is measured in bench_clientinfo.
        CrashManage::instance()->streamNode(kNode, kNodeDetail);
        break;
    case Message::SubProcessPid:
        Ostrel_SDK::subProcessPid(kSubApp, kSubPid, kSubLog, 0);
        break;
    }
}

double median(QVector<qint64> &samples)
{
    std::sort(samples.begin(), samples.end());
    return samples.isEmpty() ? 0.0 : double(samples.at(samples.size() / 2));
}

void BM_Guarded(benchmark::State &state, Message message)
{
    const bool logging = state.range(0) != 0;
    const QByteArray frame = floorFrame(message);
    QVector<qint64> ours;
    QVector<qint64> floor;
    ours.reserve(int(state.max_iterations));
    floor.reserve(int(state.max_iterations));
    setLogging(logging);
    bool oursFirst = true;
    for (auto _ : state) {
        qint64 oursNs;
        qint64 floorNs;
        if (oursFirst) {
            const qint64 t0 = bench::monotonicNs();
            send(message);
            const qint64 t1 = bench::monotonicNs();
            s_raw->write(frame);
            s_raw->flush();
            const qint64 t2 = bench::monotonicNs();
            oursNs = t1 - t0;
            floorNs = t2 - t1;
        } else {
            const qint64 t0 = bench::monotonicNs();
            s_raw->write(frame);
            s_raw->flush();
            const qint64 t1 = bench::monotonicNs();
            send(message);
            const qint64 t2 = bench::monotonicNs();
            floorNs = t1 - t0;
            oursNs = t2 - t1;
        }
        oursFirst = !oursFirst;
        ours.append(oursNs);
        floor.append(floorNs);
        state.SetIterationTime(double(oursNs) / 1e9);
    }
    setLogging(false);
    const double oursMedian = median(ours);
    const double floorMedian = median(floor);
    state.counters["ours_median_ns"] = oursMedian;
    state.counters["floor_median_ns"] = floorMedian;
    state.counters["ratio"] = floorMedian > 0 ? oursMedian / floorMedian : 0;
}

// ---- (4) burst ----------------------------------------------------------------------------------

constexpr int kBurst = 100000;

// Waits until no frame has arrived on `connection` for a while: what was sent before has been read.
void drain(int connection)
{
    qint64 last = -1;
    while (s_reader->frames(connection) != last) {
        last = s_reader->frames(connection);
        bench::waitUntil([] { return false; }, 100);
    }
}

void BM_Burst(benchmark::State &state)
{
    const bool viaLibrary = state.range(0) != 0;
    const int connection = viaLibrary ? 0 : 1;
    QVector<QString> seq(kBurst);
    QVector<QByteArray> rawFrames;
    for (int i = 0; i < kBurst; ++i)
        seq[i] = QString::number(i);
    if (!viaLibrary) {
        rawFrames.resize(kBurst);
        for (int i = 0; i < kBurst; ++i)
            rawFrames[i] = frameOf(QLatin1String("ExceptionCheck@burst@") + seq[i]);
    }
    setLogging(false);

    for (auto _ : state) {
        drain(connection);
        const qint64 base = s_reader->frames(connection);
        if (viaLibrary) {
            s_reader->takeFirstBytes();
            s_reader->setKeepFirst(true);
        }
        const qint64 rssBefore = bench::rssBytes();
        const qint64 wall0 = bench::monotonicNs();
        const qint64 cpu0 = bench::threadCpuNs();
        if (viaLibrary) {
            const QString tag = QStringLiteral("burst");
            for (int i = 0; i < kBurst; ++i)
                Ostrel_SDK::checkExceptionInfos(tag, seq[i]);
        } else {
            for (int i = 0; i < kBurst; ++i) {
                s_raw->write(rawFrames[i]);
                s_raw->flush();
            }
        }
        const qint64 cpuLoop = bench::threadCpuNs() - cpu0;
        const qint64 wallLoop = bench::monotonicNs() - wall0;
        // The host's event loop writes whatever the socket could not take at once.
        const bool all = bench::waitUntil([&] { return s_reader->frames(connection) >= base + kBurst; }, 60000);
        const qint64 wallAll = bench::monotonicNs() - wall0;
        const qint64 cpuAll = bench::threadCpuNs() - cpu0;
        state.SetIterationTime(double(cpuLoop) / 1e9);

        bool inOrder = true;
        qint64 received = s_reader->frames(connection) - base;
        if (viaLibrary) {
            s_reader->setKeepFirst(false);
            const QByteArray bytes = s_reader->takeFirstBytes();
            const QList<QByteArray> frames = bytes.split('$');
            // split() leaves one empty piece after the last terminator.
            received = frames.size() - 1;
            for (int i = 0; i < kBurst && inOrder; ++i)
                inOrder = i < received && frames.at(i) == "ExceptionCheck@burst@" + seq[i].toLatin1();
        }
        state.counters["frames_per_s"] = double(kBurst) * 1e9 / double(wallAll);
        state.counters["host_cpu_ms"] = double(cpuAll) / 1e6;
        state.counters["loop_wall_ms"] = double(wallLoop) / 1e6;
        state.counters["received"] = double(received);
        state.counters["in_order"] = inOrder ? 1 : 0;
        state.counters["rss_before_MiB"] = double(rssBefore) / (1 << 20);
        state.counters["peak_rss_MiB"] = double(bench::peakRssBytes()) / (1 << 20);
        if (!all || !inOrder || received != kBurst)
            state.SkipWithError("frames lost or out of order");
    }
}

} // namespace

BENCHMARK_CAPTURE(BM_Guarded, checkExceptionInfos, Message::CheckExceptionInfos)
        ->ArgName("log")->Arg(0)->Arg(1)->Iterations(100000)->UseManualTime();
BENCHMARK_CAPTURE(BM_Guarded, streamNode, Message::StreamNode)
        ->ArgName("log")->Arg(0)->Arg(1)->Iterations(100000)->UseManualTime();
BENCHMARK_CAPTURE(BM_Guarded, subProcessPid, Message::SubProcessPid)
        ->ArgName("log")->Arg(0)->Arg(1)->Iterations(100000)->UseManualTime();
BENCHMARK(BM_Burst)->ArgName("library")->Arg(1)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    bench::IsolatedHost host;
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);

    // Log lines go to a handler that drops them: the figures are the library's cost up to Qt's
    // message handler, not the cost of a terminal.
    qInstallMessageHandler(bench::quietMessageHandler);
    bench::IsolatedHost::registerLocalDumps(QStringLiteral("D:\\dumps"), 10, 2);

    const QString serverName = QStringLiteral("Kiv_Crash_Handler_%1").arg(QCoreApplication::applicationPid());
    HandlerReader reader;
    if (!reader.start(serverName)) {
        std::fprintf(stderr, "cannot listen on %s\n", qPrintable(serverName));
        return 1;
    }
    s_reader = &reader;

    Ostrel_SDK::StartCrash(QStringLiteral("bench"), QStringLiteral("p1"), QStringLiteral("p2"),
                           QStringLiteral("D:/dumps"), 10, 2, QStringLiteral("p3"));
    SubProcess_Info worker;
    worker.appName = kSubApp;
    worker.role = QStringLiteral("renderer");
    worker.version = QStringLiteral("2.1.0");
    worker.dmpPath = QStringLiteral("D:\\dumps\\worker");
    Ostrel_SDK::subProcessInfo({worker});

    // The library connects 500 ms after StartCrash; its first frame is the cloud configuration.
    QLocalSocket *librarySocket = nullptr;
    const bool connected = bench::waitUntil([&] {
        librarySocket = CrashManage::instance()->findChild<QLocalSocket *>();
        return librarySocket && librarySocket->state() == QLocalSocket::ConnectedState && reader.frames(0) >= 1;
    }, 10000);
    if (!connected) {
        std::fprintf(stderr, "the library did not connect\n");
        return 1;
    }

    QLocalSocket raw;
    raw.connectToServer(serverName);
    if (!raw.waitForConnected(5000) || !bench::waitUntil([&] { return reader.connectionCount() >= 2; }, 5000)) {
        std::fprintf(stderr, "the floor socket did not connect\n");
        return 1;
    }
    s_raw = &raw;

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
