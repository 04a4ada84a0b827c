#ifndef OSTREL_TESTS_HANDLERDRIVER_H
#define OSTREL_TESTS_HANDLERDRIVER_H

// A crash host (OSTREL_CRASH_HOST, see tests/capture) that the test drives through its stdin
// ("connect <server>", "send <frame>", "read", "go"), and the reference crash handler
// (OSTREL_HANDLER) watching it as the library would: connected once the handler has journaled its
// start, then talked to.

#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

// The kernel's core pattern. Cores piped to a collector other than systemd-coredump never reach
// the handler: the tests that need a core skip there.
inline QString corePatternNow()
{
    return QString::fromLatin1(TestFiles::readAll(QStringLiteral("/proc/sys/kernel/core_pattern"))).trimmed();
}
inline bool coresGoToCollector()
{
    return corePatternNow().startsWith(QLatin1Char('|')) && !corePatternNow().contains(QLatin1String("systemd-coredump"));
}
#define SKIP_IF_CORES_GO_TO_COLLECTOR() \
    if (coresGoToCollector()) \
        QSKIP(qPrintable(QStringLiteral("cores go to a collector program here: ") + corePatternNow()))

// The handler reads the application's local-dump settings below XDG_CONFIG_HOME (none there: none).
inline QProcessEnvironment configIn(const QString &folder)
{
    return TestFiles::environmentWith(QStringLiteral("XDG_CONFIG_HOME"), folder);
}

#ifdef OSTREL_CRASH_HOST
// Started (in `workFolder` when given, made as needed) and waiting for "go"; its first line,
// "ready ...", kept.
struct CrashHost
{
    QProcess process;
    QByteArray ready;
    explicit CrashHost(const QStringList &arguments, const QString &workFolder = QString(),
                       const QString &program = QStringLiteral(OSTREL_CRASH_HOST))
    {
        if (!workFolder.isEmpty())
            QDir().mkpath(workFolder);
        process.setWorkingDirectory(workFolder);
        process.start(program, arguments);
        if (process.waitForReadyRead(10000))
            ready = process.readLine().trimmed();
    }
    ~CrashHost()
    {
        process.kill();
        process.waitForFinished(10000);
    }
    qint64 pid() const { return process.processId(); }
    void go()
    {
        process.write("go\n");
        process.waitForBytesWritten(10000);
    }
};
#endif

#ifdef OSTREL_HANDLER
struct HandlerDriver
{
    QProcess process;
    QProcess *host;
    QString dumpFolder;
    bool connected = false;

    // `program`: another copy of the handler (one with a stand-in beside it), else OSTREL_HANDLER.
    HandlerDriver(QProcess *hostProcess, const QString &dumps, const QString &appName,
                  const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                  const QString &program = QStringLiteral(OSTREL_HANDLER))
        : host(hostProcess), dumpFolder(dumps)
    {
        const QByteArray pid = QByteArray::number(host->processId());
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(program, {QString::fromLatin1(pid), QDir::toNativeSeparators(dumps), appName,
                                                     QStringLiteral("client"), QString(), QString(), QString()});
#ifdef Q_OS_WIN
        const QByteArray server = "Kiv_Crash_Handler_" + pid;
#else
        const QByteArray server = QDir::tempPath().toUtf8() + "/Kiv_Crash_Handler_" + pid;
#endif
        QElapsedTimer clock;
        clock.start();
        while (!connected && clock.elapsed() < 20000) {
            QThread::msleep(20);
            connected = !files(QStringLiteral("*.journal.jsonl")).isEmpty() && ask("connect " + server) == "connected";
        }
    }
    QByteArray ask(const QByteArray &line)
    {
        host->write(line + '\n');
        host->waitForBytesWritten(10000);
        return host->waitForReadyRead(10000) ? host->readLine().trimmed() : QByteArray();
    }
    // Has the host send a frame and waits for the handler's answer (so that it has seen the host's
    // threads).
    bool say(const QByteArray &frame) { return connected && ask("send " + frame).startsWith("ok"); }
    QStringList files(const QString &pattern) const { return QDir(dumpFolder).entryList({pattern}, QDir::Files); }
    // The one file matching `pattern`, empty when there is not exactly one.
    QByteArray only(const QString &pattern) const
    {
        const QStringList names = files(pattern);
        return names.size() == 1 ? TestFiles::readAll(dumpFolder + QLatin1Char('/') + names.first()) : QByteArray();
    }
    // The report, parsed.
    QJsonObject report() const { return QJsonDocument::fromJson(only(QStringLiteral("*.json"))).object(); }
    // The report's summary as its first line gives it, {"summary": "<line>",; empty when it does not.
    QString firstSummary() const
    {
        const QByteArray first = only(QStringLiteral("*.json")).split('\n').first().trimmed();
        const bool framed = first.startsWith("{\"summary\": \"") && first.endsWith("\",");
        return framed ? QString::fromUtf8(first.mid(13, first.size() - 15)) : QString();
    }
    // Waits for the handler to end on its own, cleanly.
    bool finished()
    {
        if (process.state() != QProcess::NotRunning)
            process.waitForFinished(30000);
        return process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
};
#endif

#endif
