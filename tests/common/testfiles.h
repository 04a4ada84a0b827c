#ifndef OSTREL_TESTS_TESTFILES_H
#define OSTREL_TESTS_TESTFILES_H

// Files as another process sees them (the client info file among them), and the private folders
// every test process starts with.

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcessEnvironment>
#include <QSettings>

#include <algorithm>

#include <sys/stat.h>

// For a test that checks what only Linux has: skipped on Windows with the reason.
#ifdef Q_OS_WIN
#define SKIP_ON_WINDOWS(reason) QSKIP(reason)
#else
#define SKIP_ON_WINDOWS(reason)
#endif

namespace TestFiles {

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Creates the parent folders as needed.
inline bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

// The JSON object a file holds; empty when it holds none.
inline QJsonObject jsonObject(const QString &path)
{
    return QJsonDocument::fromJson(readAll(path)).object();
}

// One object per non-empty line of a JSON-lines file (a journal).
inline QList<QJsonObject> jsonLines(const QString &path)
{
    QList<QJsonObject> out;
    for (const QByteArray &line : readAll(path).split('\n'))
        if (!line.trimmed().isEmpty())
            out.append(QJsonDocument::fromJson(line).object());
    return out;
}

// `key` of each line (as text), or of the lines whose "event" is `event` only.
inline QStringList pick(const QList<QJsonObject> &lines, const QString &key, const QString &event = QString())
{
    QStringList out;
    for (const QJsonObject &line : lines)
        if (event.isEmpty() || line["event"].toString() == event)
            out.append(line[key].toVariant().toString());
    return out;
}

// The permission bits of a file or folder; -1 when there is none.
inline int modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// This process's environment with `name` set to `value`, for a child.
inline QProcessEnvironment environmentWith(const QString &name, const QString &value)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(name, value);
    return env;
}

// Before the first library call: a private home and local-dump settings folder, no stand-in records.
inline void usePrivateFolders(const QString &home, const QString &settings)
{
    qputenv("HOME", QFile::encodeName(home));
    for (const char *name : {"XDG_DATA_HOME", "OSTREL_STANDIN_DIR", "OSTREL_STANDIN_MODE"})
        qunsetenv(name);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings);
}

} // namespace TestFiles

// The client info file as a reader outside the process sees it.
namespace ClientInfoFile {

// The initial document byte for byte: UTF-8 without BOM, two LF-ended lines. Qt 5 keeps attributes
// in a hash, so their order carries no meaning and is compared sorted.
inline bool isInitial(const QByteArray &bytes)
{
    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ClientInfo ";
    QList<QByteArray> attributes = bytes.mid(head.size(), bytes.size() - head.size() - 3).split(' ');
    std::sort(attributes.begin(), attributes.end());
    return bytes.startsWith(head) && bytes.endsWith("/>\n")
        && attributes == QList<QByteArray>({"id=\"\"", "liveid=\"\"", "logPath=\"\"", "thirdpartyLogPath=\"\""});
}

// Attributes of the document element by name; {"<unparsable>": path} when the file does not parse.
inline QMap<QString, QString> attributes(const QString &path)
{
    QDomDocument doc;
    if (!doc.setContent(TestFiles::readAll(path)))
        return {{QStringLiteral("<unparsable>"), path}};
    QMap<QString, QString> out;
    const QDomNamedNodeMap map = doc.documentElement().attributes();
    for (int i = 0; i < map.count(); ++i)
        out.insert(map.item(i).nodeName(), map.item(i).nodeValue());
    return out;
}

// The four initial attributes, all empty, with `changes` added or replaced.
inline QMap<QString, QString> initialWith(std::initializer_list<std::pair<const char *, const char *>> changes = {})
{
    QMap<QString, QString> out {{"logPath", ""}, {"thirdpartyLogPath", ""}, {"id", ""}, {"liveid", ""}};
    for (const auto &change : changes)
        out.insert(QString::fromUtf8(change.first), QString::fromUtf8(change.second));
    return out;
}

} // namespace ClientInfoFile

#endif // OSTREL_TESTS_TESTFILES_H
