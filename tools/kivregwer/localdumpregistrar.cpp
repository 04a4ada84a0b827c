#include "localdumpregistrar.h"

#include "crashmanage/localdumpsettings.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <QJsonObject>
#include <QJsonValue>

#include <cmath>
#include <cstdio>
#include <limits>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

#ifndef Q_OS_WIN

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

bool isInt32(const QJsonValue &value)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    return std::trunc(d) == d && d >= std::numeric_limits<int>::min() && d <= std::numeric_limits<int>::max();
}

} // namespace

LocalDumpRegistrar::LocalDumpRegistrar(const QString &settingsDir)
#ifdef Q_OS_WIN
    // HKLM\Software\Microsoft\Windows\Windows Error Reporting\LocalDumps, 64-bit view, where WER looks.
    : m_format(QSettings::Registry64Format)
    , m_scope(QSettings::SystemScope)
{
    Q_UNUSED(settingsDir);
}
#else
    // The user's own settings folder: an ordinary user can write it, and the library reads it first.
    : m_format(QSettings::IniFormat)
    , m_scope(QSettings::UserScope)
{
    if (!settingsDir.isEmpty())
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir);
}
#endif

QString LocalDumpRegistrar::logFilePath() const
{
#ifdef Q_OS_WIN
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1String("/KivRegWER/KivRegWER.log");
#else
    const QSettings probe(m_format, m_scope, localDumpsOrganization(), QStringLiteral("KivRegWER"));
    return QFileInfo(probe.fileName()).absolutePath() + QLatin1String("/KivRegWER.log");
#endif
}

/*
 * Started detached by a host, the tool inherits the host's standard streams, where its lines do not
 * belong: they go to the log file instead (private, appended, started afresh past 256 KiB), or
 * nowhere when that cannot be opened. Each run begins with a line "<UTC time> KivRegWER <pid>".
 */
void LocalDumpRegistrar::redirectOutputToLog() const
{
#ifdef Q_OS_WIN
    // A GUI-subsystem program started detached has no console to write to anyway.
    const QString path = logFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    std::fflush(stderr);
    if (!_wfreopen(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), L"a", stderr))
        return;
    std::fprintf(stderr, "%s KivRegWER %lld\n",
                 qPrintable(QDateTime::currentDateTimeUtc().toString(Qt::ISODate)),
                 static_cast<long long>(QCoreApplication::applicationPid()));
    std::fflush(stderr);
#else
    const QString path = logFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QByteArray native = QFile::encodeName(path);
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW;
    struct stat st;
    if (::stat(native.constData(), &st) == 0 && st.st_size > 256 * 1024)
        flags |= O_TRUNC;
    int fd = ::open(native.constData(), flags, 0600);
    if (fd < 0)
        fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::fflush(stdout);
    std::fflush(stderr);
    if (fd >= 0) {
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        if (fd > STDERR_FILENO)
            ::close(fd);
    }
    std::fprintf(stderr, "%s KivRegWER %lld\n",
                 qPrintable(QDateTime::currentDateTimeUtc().toString(Qt::ISODate)),
                 static_cast<long long>(QCoreApplication::applicationPid()));
#endif
}

bool LocalDumpRegistrar::registerEntry(const QJsonValue &entry, QString *error) const
{
    if (!entry.isObject()) {
        *error = QStringLiteral("not an object");
        return false;
    }
    const QJsonObject object = entry.toObject();
    const QJsonValue appName = object.value(QLatin1String("m_appName"));
    const QJsonValue dmpPath = object.value(QLatin1String("m_dmpPath"));
    const QJsonValue count = object.value(QLatin1String("m_count"));
    const QJsonValue type = object.value(QLatin1String("m_type"));

    // The name is one executable file name, one sub-key: a separator would address another key
    // (or, with the INI stand-in, another folder).
    if (!appName.isString() || appName.toString().isEmpty()
        || appName.toString().contains(QLatin1Char('/')) || appName.toString().contains(QLatin1Char('\\'))) {
        *error = QStringLiteral("\"m_appName\" is not an executable file name");
        return false;
    }
    if (!dmpPath.isString()) {
        *error = QStringLiteral("\"m_dmpPath\" is not a string");
        return false;
    }
    if (!isInt32(count)) {
        *error = QStringLiteral("\"m_count\" is not an integer");
        return false;
    }
    if (!isInt32(type)) {
        *error = QStringLiteral("\"m_type\" is not an integer");
        return false;
    }

    return m_writer.write(appName.toString(), dmpPath.toString(), count.toInt(), type.toInt(), error);
}
