// The client info file, as written and read here:
//
//   <?xml version="1.0" encoding="UTF-8"?>
//   <ClientInfo logPath="" thirdpartyLogPath="" id="" liveid=""/>
//
// UTF-8 without BOM, LF line ends, saved by QDomNode::save with indent 4 and the encoding taken from
// the declaration. Every value is an attribute of the document element; readers look attributes up
// by name (their order on the line is the serialiser's). Once rewritten, the declaration reads
// version='1.0' encoding='UTF-8', as Qt's parser hands it back. The file is rewritten in place
// (truncate, then write): an outside reader may briefly see it empty.

#include "clientinfo/kivoperateini.h"

#include "qtcompat.h"
#include "sdk/sdklog.h"

#include <QBuffer>
#include <QDomAttr>
#include <QDomDocument>
#include <QDomElement>
#include <QDomProcessingInstruction>
#include <QFile>
#include <QTextStream>

namespace {

// The declaration as this store creates it, and as Qt's parser hands it back after a read.
const QString &createdDeclaration()
{
    static const QString data = QStringLiteral("version=\"1.0\" encoding=\"UTF-8\"");
    return data;
}
const QString &parsedDeclaration()
{
    static const QString data = QStringLiteral("version='1.0' encoding='UTF-8'");
    return data;
}

/*
 * Saves with EncodingFromDocument's bytes. That policy looks the encoding up in the declaration with
 * a regular expression and a codec search that Qt builds on every save, most of a save's cost. For
 * the one declaration our files carry, the result is known: UTF-8, the declaration written back as
 * it is, then every later node. EncodingFromTextStream through a UTF-8 stream writes the same
 * nodes after a declaration of its own, so only that first line is put back. Documents with a
 * document type, another declaration or none are saved with EncodingFromDocument itself.
 */
void saveDocument(const QDomDocument &doc, QFile &file)
{
    const QDomNode first = doc.firstChild();
    const QString declaration = first.nodeValue();
    if (first.isProcessingInstruction() && first.nodeName() == QLatin1String("xml")
        && (declaration == parsedDeclaration() || declaration == createdDeclaration())
        && doc.doctype().name().isEmpty()) {
        QByteArray bytes;
        {
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            QTextStream out(&buffer);
            QtCompat::setUtf8(out);
            doc.save(out, 4, QDomNode::EncodingFromTextStream);
        }
        bytes.replace(0, bytes.indexOf('\n') + 1, "<?xml " + declaration.toLatin1() + "?>\n");
        file.write(bytes);
        return;
    }
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
    doc.appendChild(doc.createProcessingInstruction(QStringLiteral("xml"), createdDeclaration()));
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

    // One open for the read and the rewrite where the file can be written (an open costs as much as
    // the rest of the call); otherwise it is read alone and reopening it for the rewrite fails as
    // it would. ExistingOnly: the file is never created here.
    QFile file(m_path);
    const bool readWrite = file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly);
    if (!readWrite && !file.open(QIODevice::ReadOnly)) {
        plainDebug() << "KivOperateIni::setOption file open ReadOnly failure" << m_path;
        return;
    }
    QDomDocument doc;
    if (!doc.setContent(&file)) {
        plainDebug() << "KivOperateIni::setOption doc setContent failure";
        file.close();
        return;
    }

    QDomElement root = doc.documentElement();
    root.setAttribute(key, value);

    const bool truncated = readWrite ? file.resize(0) && file.seek(0)
                                     : (file.close(), file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    if (!truncated) {
        plainDebug() << "KivOperateIni::setOption file open WriteOnly Truncate failure" << m_path;
        return;
    }
    saveDocument(doc, file);
    file.close();
    plainDebug() << "KivOperateIni::setOption success" << group << key << value;
}
