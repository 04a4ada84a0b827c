// Fuzzes the client info store on a file holding arbitrary bytes (a file another program, a crash
// or a full disk may have left behind). For any content: option() and setOption() return without
// crashing; when the content does not parse as XML, setOption leaves the file byte for byte as it
// was; when it parses, the value written reads back unchanged.

#include "clientinfo/kivoperateini.h"

#include <QByteArray>
#include <QDomDocument>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &)
{
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// Parses as the store does: from the open file, no namespace processing.
bool parses(const QString &path, QDomDocument &doc)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && doc.setContent(&file);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    static QTemporaryDir *dir = [] {
        qInstallMessageHandler(quiet);
        return new QTemporaryDir;
    }();
    const QString path = dir->filePath(QStringLiteral("KivClientInfo_fuzz_1.xml"));
    const QByteArray content(reinterpret_cast<const char *>(bytes), static_cast<int>(size));
    {
        QFile file(path);
        check(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        check(file.write(content) == content.size());
    }

    KivOperateIni store;
    store.initXml(path, true);
    const QString group = QStringLiteral("ClientInfo");
    store.option(QStringLiteral("id"), group);

    QDomDocument before;
    const bool parsed = parses(path, before);
    const bool hasRoot = parsed && !before.documentElement().isNull();

    const QString value = QStringLiteral("u\"1&<2>\u00e9");
    store.setOption(QStringLiteral("node"), value, group);

    if (!parsed) {
        check(readAll(path) == content);
        check(store.option(QStringLiteral("node"), group).isEmpty());
    } else if (hasRoot) {
        check(store.option(QStringLiteral("node"), group) == value);
    }
    return 0;
}
