// The client info file, as written and read here:
//
//   <?xml version="1.0" encoding="UTF-8"?>
//   <ClientInfo logPath="" thirdpartyLogPath="" id="" liveid=""/>
//
// UTF-8 without BOM, LF line ends, saved by QDomNode::save with indent 4 and the encoding taken from
// the declaration. Every value is an attribute of the document element; readers look attributes up
// by name (their order on the line is the serialiser's). The file is rewritten in place (truncate,
// then write): an outside reader may briefly see it empty.

#include "clientinfo/kivoperateini.h"

#include "sdk/sdklog.h"

#include <QDomAttr>
#include <QDomDocument>
#include <QDomElement>
#include <QDomProcessingInstruction>
#include <QFile>
#include <QTextStream>

namespace {

void saveDocument(const QDomDocument &doc, QFile &file)
{
    QTextStream out(&file);
    doc.save(out, 4, QDomNode::EncodingFromDocument);
    out.flush();
}

} // namespace

KivOperateIni::KivOperateIni(QObject *parent)
    : QObject(parent)
{
}

KivOperateIni::~KivOperateIni() = default;

// Binds the store to `path` and writes the initial document there, unless `keepExisting` is set and
// the file already exists.
void KivOperateIni::initXml(const QString &path, bool keepExisting)
{
    plainDebug() << "KivOperateIni::initXml " << path << keepExisting;
    if (path.isEmpty()) {
        plainDebug() << "KivOperateIni::initXml path is empty.";
        return;
    }
    m_path = path;

    if (keepExisting && QFile::exists(m_path)) {
        plainDebug() << "KivOperateIni::initXml exit " << m_path << keepExisting;
        return;
    }

    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        plainDebug() << "KivOperateIni::initXml file open failure " << m_path;
        return;
    }

    QDomDocument doc;
    doc.appendChild(doc.createProcessingInstruction(QStringLiteral("xml"),
                                                    QStringLiteral("version=\"1.0\" encoding=\"UTF-8\"")));
    QDomElement root = doc.createElement(QStringLiteral("ClientInfo"));
    doc.appendChild(root);
    for (const char *name : {"logPath", "thirdpartyLogPath", "id", "liveid"}) {
        QDomAttr attribute = doc.createAttribute(QLatin1String(name));
        attribute.setValue(QString());
        root.setAttributeNode(attribute);
    }

    saveDocument(doc, file);
    file.close();
    plainDebug() << "KivOperateIni::initXml file success" << m_path;
}

// The value of attribute `key` of the document element; "" when it is missing or anything fails.
// `group` must be non-empty but does not select anything: the element is always the document element.
QString KivOperateIni::option(const QString &key, const QString &group)
{
    if (m_path.isEmpty()) {
        plainDebug() << "KivOperateIni::option path is empty.";
        return QString();
    }
    if (group.isEmpty()) {
        plainDebug() << "KivOperateIni::option group is empty.";
        return QString();
    }
    if (key.isEmpty()) {
        plainDebug() << "KivOperateIni::option key is empty.";
        return QString();
    }

    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        plainDebug() << "KivOperateIni::option file open ReadOnly failure" << m_path;
        return QString();
    }
    QDomDocument doc;
    if (!doc.setContent(&file)) {
        plainDebug() << "KivOperateIni::option doc setContent failure";
        file.close();
        return QString();
    }
    file.close();

    const QString value = doc.documentElement().attribute(key);
    plainDebug() << "KivOperateIni::Option success" << group << key << value;
    return value;
}

// Sets attribute `key` of the document element and saves the file. Never creates the file, and never
// overwrites a file whose content did not parse.
void KivOperateIni::setOption(const QString &key, const QString &value, const QString &group)
{
    if (m_path.isEmpty()) {
        plainDebug() << "KivOperateIni::setOption path is empty.";
        return;
    }
    if (group.isEmpty()) {
        plainDebug() << "KivOperateIni::setOption group is empty.";
        return;
    }
    if (key.isEmpty()) {
        plainDebug() << "KivOperateIni::setOption key is empty.";
        return;
    }

    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        plainDebug() << "KivOperateIni::setOption file open ReadOnly failure" << m_path;
        return;
    }
    QDomDocument doc;
    if (!doc.setContent(&file)) {
        plainDebug() << "KivOperateIni::setOption doc setContent failure";
        file.close();
        return;
    }
    file.close();

    QDomElement root = doc.documentElement();
    root.setAttribute(key, value);

    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        plainDebug() << "KivOperateIni::setOption file open WriteOnly Truncate failure" << m_path;
        return;
    }
    saveDocument(doc, file);
    file.close();
    plainDebug() << "KivOperateIni::setOption success" << group << key << value;
}
