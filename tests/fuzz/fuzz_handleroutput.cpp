// Fuzzes the cutting of the crash handler's output into log lines, on the same path the socket
// notification takes (a QTextStream on the device, read whole, turned into UTF-8, cut at CR).
// Checks, for any input: no line is empty, holds a CR or has white space at either end; input
// without CR gives no line. For ASCII input the lines must equal a plain reference cut.

#include "crashmanage/handleroutput.h"

#include <QBuffer>
#include <QByteArray>
#include <QTextStream>

#include <cstdint>
#include <cstdlib>

namespace {

// CR-separated pieces, trimmed, cut at the first NUL (as a conversion to QString is), empty skipped.
QStringList referenceLines(const QByteArray &data)
{
    QStringList lines;
    if (!data.contains('\r'))
        return lines;
    const QList<QByteArray> pieces = data.split('\r');
    for (const QByteArray &raw : pieces) {
        QByteArray piece = raw.trimmed();
        const int nul = piece.indexOf('\0');
        if (nul >= 0)
            piece.truncate(nul);
        if (!piece.isEmpty())
            lines.append(QString::fromLatin1(piece));
    }
    return lines;
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void checkLines(const QByteArray &data, const QStringList &lines)
{
    if (!data.contains('\r'))
        check(lines.isEmpty());
    check(lines.size() <= data.count('\r') + 1);
    for (const QString &line : lines) {
        check(!line.isEmpty());
        check(!line.contains(QLatin1Char('\r')));
    }
}

bool isAscii(const QByteArray &data)
{
    for (char c : data) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray data(reinterpret_cast<const char *>(bytes), static_cast<int>(size));

    const QStringList direct = handlerOutputLines(data);
    checkLines(data, direct);

    QByteArray copy = data;
    QBuffer device(&copy);
    device.open(QIODevice::ReadOnly);
    QTextStream stream(&device);
    const QByteArray decoded = stream.readAll().toUtf8();
    const QStringList viaStream = handlerOutputLines(decoded);
    checkLines(decoded, viaStream);

    if (isAscii(data)) {
        const QStringList expected = referenceLines(data);
        check(direct == expected);
        check(viaStream == expected);
    }
    return 0;
}
