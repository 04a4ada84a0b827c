#ifndef OSTREL_TESTS_STANDIN_H
#define OSTREL_TESTS_STANDIN_H

// The recording stand-in crash handler (tests/helpers) as a test drives it, and the crash handler
// processes running for a host.

#include "testfiles.h"

#include <QCoreApplication>
#include <QTemporaryDir>

namespace StandIn {

// Crash handlers (stand-in or reference) running for `hostPid`: argument 1 is the host's pid.
inline QList<qint64> handlersFor(qint64 hostPid = QCoreApplication::applicationPid())
{
    QList<qint64> pids;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QList<QByteArray> argv = TestFiles::readAll(QStringLiteral("/proc/%1/cmdline").arg(entry)).split('\0');
        if (argv.size() > 1 && argv.at(0).endsWith("KivCrashHandler.exe") && argv.at(1) == QByteArray::number(hostPid))
            pids.append(entry.toLongLong());
    }
    return pids;
}

// What the stand-ins launched by this process record in one folder.
struct Records
{
    QTemporaryDir dir;

    // From now on launched stand-ins record here and behave as `mode` says (see standin_handler.cpp).
    void use(const QByteArray &mode = QByteArray()) const
    {
        qputenv("OSTREL_STANDIN_DIR", QFile::encodeName(dir.path()));
        qputenv("OSTREL_STANDIN_MODE", mode);
    }
    QByteArray received(int launch = 1) const { return TestFiles::readAll(dir.filePath(QStringLiteral("received-%1.bin").arg(launch))); }
    QList<QByteArray> args(int launch) const
    {
        const QByteArray record = TestFiles::readAll(dir.filePath(QStringLiteral("launch-%1.args").arg(launch)));
        return record.endsWith('\0') ? record.left(record.size() - 1).split('\0') : QList<QByteArray>();
    }
    int launches() const { return QDir(dir.path()).entryList({QStringLiteral("launch-*.args")}, QDir::Files).size(); }
};

} // namespace StandIn

#endif // OSTREL_TESTS_STANDIN_H
