#include "moduleids.h"

#include "capture/minidump.h"

#include <QFile>

#include <limits>

FileIds readFileIds(const QString &path)
{
    FileIds ids;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        ids.error = file.errorString();
        return ids;
    }
    const QByteArray magic = file.peek(4);
    if (magic == QByteArrayLiteral("\x7f" "ELF")) {
        file.close();
        ids.format = QStringLiteral("elf");
        readElfIds(path, &ids);
    } else if (magic.startsWith("MZ")) {
        ids.format = QStringLiteral("pe");
        const qint64 size = qMin<qint64>(file.size(), std::numeric_limits<int>::max());
        const uchar *data = file.map(0, size);
        if (!data) {
            ids.error = file.errorString();
            return ids;
        }
        const QByteArray image = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
        ids.debugId = Minidump::imageIds(image).debugId;
        ids.codeViewId = Minidump::codeViewId(image);
        if (ids.debugId.isEmpty())
            ids.error = QStringLiteral("it has no CodeView record");
    } else {
        ids.error = QStringLiteral("it is neither an ELF nor a PE file");
    }
    return ids;
}
