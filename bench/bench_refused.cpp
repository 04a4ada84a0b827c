// A message refused by the connection guard: before the first connection attempt (no socket yet)
// and while the crash handler cannot be reached (socket not connected). With the logging switch off
// nothing of the log line may be built, so the call is only the guard. With the switch on, the
// refused call costs the critical log line; its floor is the same line written straight through
// QMessageLogger, with the same items, to the same (no-op) message handler.
//
// This program calls StartCrash (the harmless KivCrashHandler.exe beside it never listens) only
// once the "no socket" cases have run.

#include "support/benchsupport.h"

#include "crashmanage/crashmanage.h"

#include <OstrelSDK/ostrelsdk.h>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QLocalSocket>
#include <QMessageLogger>

#include <atomic>
#include <cstdio>

namespace {

const QString kInfo1 = QStringLiteral("0xC0000005");
const QString kInfo2 = QStringLiteral("D:/Program Files/Host/modules/render.dll+0x1a2b3c");

std::atomic<int> s_socketErrors {0};

void countingQuietHandler(QtMsgType, const QMessageLogContext &, const QString &text)
{
    if (text.contains(QLatin1String("socket error:")))
        ++s_socketErrors;
    if (qEnvironmentVariableIsSet("OSTREL_BENCH_VERBOSE"))
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

// Starts the crash manager and waits until its first connection attempt has failed: from then on
// (for the next 20 s) the socket exists and is not connected.
bool ensureRefusing()
{
    static bool started = false;
    if (!started) {
        started = true;
        Ostrel_SDK::logSwitch(true); // the failure is seen through its "socket error:" line
        Ostrel_SDK::StartCrash(QStringLiteral("bench"), QStringLiteral("p1"), QStringLiteral("p2"),
                               QStringLiteral("D:/dumps"), 10, 2, QStringLiteral("p3"));
    }
    return bench::waitUntil([] {
        const QLocalSocket *socket = CrashManage::instance()->findChild<QLocalSocket *>();
        return s_socketErrors.load() > 0 && socket && socket->state() == QLocalSocket::UnconnectedState;
    }, 10000);
}

void BM_Refused_NoSocket(benchmark::State &state)
{
    if (CrashManage::instance()->findChild<QLocalSocket *>()) {
        state.SkipWithError("a socket exists already");
        return;
    }
    Ostrel_SDK::logSwitch(state.range(0) != 0);
    for (auto _ : state)
        Ostrel_SDK::checkExceptionInfos(kInfo1, kInfo2);
    Ostrel_SDK::logSwitch(false);
}

void BM_Refused_NotConnected(benchmark::State &state)
{
    if (!ensureRefusing()) {
        state.SkipWithError("the first connection attempt did not fail");
        return;
    }
    Ostrel_SDK::logSwitch(state.range(0) != 0);
    for (auto _ : state)
        Ostrel_SDK::checkExceptionInfos(kInfo1, kInfo2);
    Ostrel_SDK::logSwitch(false);
}

// The same critical line as "client is not connected.", written directly.
void BM_Floor_LogLine(benchmark::State &state)
{
    for (auto _ : state) {
        QMessageLogger().critical() << "[OstrelSDk]" << "[" << "void CrashManage::checkExceptionInfos(const QString&, const QString&)"
                                    << "]" << "client is not connected." << QLocalSocket::UnconnectedState;
    }
}

} // namespace

BENCHMARK(BM_Refused_NoSocket)->ArgName("log")->Arg(0)->Arg(1);
BENCHMARK(BM_Refused_NotConnected)->ArgName("log")->Arg(0)->Arg(1);
BENCHMARK(BM_Floor_LogLine);

int main(int argc, char **argv)
{
    bench::IsolatedHost host;
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    qInstallMessageHandler(countingQuietHandler);
    bench::IsolatedHost::registerLocalDumps(QStringLiteral("D:\\dumps"), 10, 2);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
