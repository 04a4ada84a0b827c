#ifndef OSTREL_TESTS_CLIENTINFOFILE_H
#define OSTREL_TESTS_CLIENTINFOFILE_H

// Reading the client info file the way an outside reader does: attributes by name. The attribute
// order on the ClientInfo line is the serialiser's (Qt 5 keeps attributes in a hash), so byte
// comparisons go through canonicalClientInfo(), which sorts the attributes of that one line.

#include <QByteArray>
#include <QDomDocument>
#include <QDomElement>
#include <QDomNamedNodeMap>
#include <QFile>
#include <QList>
#include <QMap>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTextCodec>

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

inline bool isValidUtf8(const QByteArray &bytes)
{
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

// The file with the attributes of its `<ClientInfo .../>` line sorted by name; any other content is
// returned unchanged, so a comparison with the expected bytes still fails on it.
inline QByteArray canonicalClientInfo(const QByteArray &bytes)
{
    static const QRegularExpression line(QStringLiteral("^<ClientInfo((?: [A-Za-z]+=\"[^\"]*\")*)/>$"),
                                         QRegularExpression::MultilineOption);
    static const QRegularExpression attribute(QStringLiteral(" [A-Za-z]+=\"[^\"]*\""));
    const QString text = QString::fromUtf8(bytes);
    const QRegularExpressionMatch match = line.match(text);
    if (!match.hasMatch())
        return bytes;
    QStringList attributes;
    auto it = attribute.globalMatch(match.captured(1));
    while (it.hasNext())
        attributes.append(it.next().captured(0));
    attributes.sort();
    QString out = text;
    out.replace(match.capturedStart(1), match.capturedLength(1), attributes.join(QString()));
    return out.toUtf8();
}

// The initial document, attributes in name order (compare with canonicalClientInfo()).
inline QByteArray initialBytes()
{
    return QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<ClientInfo id=\"\" liveid=\"\" logPath=\"\" thirdpartyLogPath=\"\"/>\n");
}

// All attributes of the document element by name, as a reader outside the process sees them;
// {"<unparsable>", ...} when the file does not parse.
inline QMap<QString, QString> attributes(const QString &path)
{
    QMap<QString, QString> out;
    QFile file(path);
    QDomDocument doc;
    if (!file.open(QIODevice::ReadOnly) || !doc.setContent(&file)) {
        out.insert(QStringLiteral("<unparsable>"), path);
        return out;
    }
    const QDomNamedNodeMap map = doc.documentElement().attributes();
    for (int i = 0; i < map.count(); ++i)
        out.insert(map.item(i).nodeName(), map.item(i).nodeValue());
    return out;
}

inline QMap<QString, QString> initialAttributes()
{
    QMap<QString, QString> out;
    for (const char *name : {"logPath", "thirdpartyLogPath", "id", "liveid"})
        out.insert(QLatin1String(name), QString());
    return out;
}

} // namespace ClientInfoFile

#endif // OSTREL_TESTS_CLIENTINFOFILE_H
