// Fuzzes the client info store on a file holding arbitrary bytes (a file another program, a crash
// or a full disk may have left behind). For any content: option() and setOption() return without
// crashing; when the content does not parse as XML, setOption leaves the file byte for byte as it
// was; when it parses, the file afterwards holds exactly the parsed document with the attribute
// set, saved as the store saves (indent 4, encoding from the declaration), and option() answers
// what that file holds.
//
// The value set reads back unchanged when Qt's writer and reader both take the file as UTF-8, the
// encoding the store itself writes. They choose by different rules, so no round trip is promised
// otherwise. The writer follows the XML declaration alone: the encoding it names, else UTF-8. The
// reader looks at the start of the bytes: a file that begins with "<?xml" is read in the encoding
// named by the first quoted word after "encoding" before the first '>', whether or not that is
// the declaration. So a '>' inside the declaration before its encoding
// (corpus/clientinfostore/declaration_utf7) makes the reader take UTF-8 while the writer encodes
// in the declared one, and a processing instruction such as <?xmlfoo ... encoding="UTF-7"?>
// (corpus/clientinfostore/instruction_utf7) makes the reader take UTF-7 while the writer, seeing
// no declaration, writes UTF-8: either way non-ASCII values come back changed. Encodings that are
// not ASCII-compatible (HZ, ISO-2022-KR, Adobe-Standard-Encoding and the like) change even ASCII
// ones. Qt's parser also accepts some documents that its serialiser cannot write back as XML, e.g.
// a declaration whose version value holds a quote: it is saved with the other quote style and no
// longer parses (corpus/clientinfostore/declaration_quote).
//
// The XML parser lives in Qt, which is not coverage-instrumented, so the target feeds libFuzzer its
// own signal through extra counters: how far the parse got (error kind, line, column bucket) and
// the shape of what parsed. Inputs that reach new parser states are then kept and mutated further.

#include "../common/testfiles.h"
#include "clientinfo/kivoperateini.h"
#include "qtcompat.h"

#include <QBuffer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdint>
#include <cstdlib>

#if defined(__clang__)
__attribute__((section("__libfuzzer_extra_counters")))
#endif
static uint8_t s_parseFeatures[1024];

namespace {

// Marks the parser state this content reached: one counter per error kind and position bucket, or
// per document shape when it parsed.
void markParseFeatures(const QByteArray &content)
{
    QDomDocument doc;
    QString error;
    int line = 0, column = 0;
    if (!doc.setContent(content, &error, &line, &column)) {
        const int kind = int(qHash(error) % 32);
        s_parseFeatures[kind * 8 + qMin(line, 7)]++;
        s_parseFeatures[256 + kind * 16 + qMin(15, column > 1 ? 31 - int(qCountLeadingZeroBits(quint32(column))) : 0)]++; // log2 bucket
        return;
    }
    const QDomElement root = doc.documentElement();
    const int attributes = qMin(root.attributes().count(), 15);
    const int children = qMin(doc.childNodes().count(), 3);
    const int rootChildren = qMin(root.childNodes().count(), 1);
    s_parseFeatures[768 + attributes * 16 + children * 4 + rootChildren * 2 + int(doc.doctype().isNull())]++;
}

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
void check(bool condition) { if (!condition) std::abort(); }

// True when Qt's writer saves the document as UTF-8: its XML declaration names no encoding, or one
// Qt takes for UTF-8, or there is no declaration.
bool savedAsUtf8(const QDomDocument &doc)
{
    const QDomNode first = doc.firstChild();
    if (!first.isProcessingInstruction() || first.toProcessingInstruction().target() != QLatin1String("xml"))
        return true;
    static const QRegularExpression encoding(QStringLiteral("encoding\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)')"));
    const QRegularExpressionMatch match = encoding.match(first.toProcessingInstruction().data());
    return !match.hasMatch() || QtCompat::isUtf8Name((match.captured(1) + match.captured(2)).toLatin1());
}

// True when Qt's reader is sure to take these bytes as UTF-8. It does unless they begin with "<?xml";
// then it reads them in the encoding named by the first quoted word after the first "encoding"
// before the first '>', when a codec has that name. (It looks at the first kilobyte only, so it
// may take UTF-8 where this says no: that only drops a promise.)
bool readAsUtf8(const QByteArray &bytes)
{
    static const QRegularExpression declared(QStringLiteral("\\A<\\?xml[^>]*?encoding[^>\"']*[\"']([^>\"']*)"));
    const QRegularExpressionMatch match = declared.match(QString::fromUtf8(bytes));
    const QByteArray name = match.captured(1).toLatin1();
    return !match.hasMatch() || QtCompat::isUtf8Name(name) || !QtCompat::knowsEncoding(name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    // One folder for the whole run, removed when the process exits.
    static const bool quietened = (qInstallMessageHandler(quiet), true);
    Q_UNUSED(quietened);
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("KivClientInfo_fuzz_1.xml"));
    const QByteArray content(reinterpret_cast<const char *>(bytes), static_cast<int>(size));
    markParseFeatures(content);
    check(TestFiles::writeAll(path, content));

    KivOperateIni store;
    store.initXml(path, true);
    const QString group = QStringLiteral("ClientInfo");
    store.option(QStringLiteral("id"), group);

    QDomDocument before; // parsed as the store does: from the open file, no namespace processing
    const bool parsed = [&] { QFile file(path); return file.open(QIODevice::ReadOnly) && before.setContent(&file); }();
    const bool hasRoot = parsed && !before.documentElement().isNull();

    const QString value = QStringLiteral("u\"1&<2>\u00e9");
    store.setOption(QStringLiteral("node"), value, group);

    if (!parsed) {
        check(TestFiles::readAll(path) == content);
        check(store.option(QStringLiteral("node"), group).isEmpty());
    } else if (hasRoot) {
        QDomElement root = before.documentElement();
        root.setAttribute(QStringLiteral("node"), value);
        QByteArray expected;
        QBuffer buffer(&expected);
        buffer.open(QIODevice::WriteOnly);
        QTextStream stream(&buffer);
        before.save(stream, 4, QDomNode::EncodingFromDocument);
        stream.flush();
        const QByteArray written = TestFiles::readAll(path);
        check(written == expected);
        QDomDocument after;
        if (after.setContent(written)) {
            const QString readBack = store.option(QStringLiteral("node"), group);
            check(readBack == after.documentElement().attribute(QStringLiteral("node")));
            if (savedAsUtf8(before) && readAsUtf8(written))
                check(readBack == value);
        }
    }
    return 0;
}
