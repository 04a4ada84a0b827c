#ifndef OSTREL_TESTS_CLIENTINFOFILE_H
#define OSTREL_TESTS_CLIENTINFOFILE_H

// The client info file as a reader outside the process sees it: its bytes, and attributes by name.

#include <QDomDocument>
#include <QFile>
#include <QMap>

#include <algorithm>

namespace ClientInfoFile {

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// The initial document byte for byte: UTF-8 without BOM, two LF-ended lines. Qt 5 keeps attributes
// in a hash, so their order on the ClientInfo line carries no meaning and is compared sorted.
inline bool isInitial(const QByteArray &bytes)
{
    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ClientInfo ";
    if (!bytes.startsWith(head) || !bytes.endsWith("/>\n"))
        return false;
    QList<QByteArray> attributes = bytes.mid(head.size(), bytes.size() - head.size() - 3).split(' ');
    std::sort(attributes.begin(), attributes.end());
    return attributes == QList<QByteArray>({"id=\"\"", "liveid=\"\"", "logPath=\"\"", "thirdpartyLogPath=\"\""});
}

// Attributes of the document element by name; {"<unparsable>": path} when the file does not parse.
inline QMap<QString, QString> attributes(const QString &path)
{
    QFile file(path);
    QDomDocument doc;
    if (!file.open(QIODevice::ReadOnly) || !doc.setContent(&file))
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
    QMap<QString, QString> out;
    for (const char *name : {"logPath", "thirdpartyLogPath", "id", "liveid"})
        out.insert(QLatin1String(name), QString());
    for (const auto &change : changes)
        out.insert(QString::fromUtf8(change.first), QString::fromUtf8(change.second));
    return out;
}

} // namespace ClientInfoFile

#endif // OSTREL_TESTS_CLIENTINFOFILE_H
