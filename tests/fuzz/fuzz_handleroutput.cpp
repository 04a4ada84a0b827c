// Fuzzes the cutting of the crash handler's output into log lines. For any input: no line is empty
// or holds a CR; input without CR gives no line. For ASCII input the lines equal a plain reference cut.

#include "crashmanage/handleroutput.h"

#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

static void check(bool condition) { if (!condition) std::abort(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray data(reinterpret_cast<const char *>(bytes), static_cast<int>(size));
    const QStringList lines = handlerOutputLines(data);
    check(data.contains('\r') || lines.isEmpty());
    check(lines.size() <= data.count('\r') + 1);
    for (const QString &line : lines)
        check(!line.isEmpty() && !line.contains(QLatin1Char('\r')));

    if (std::all_of(data.cbegin(), data.cend(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        // Reference: CR-separated pieces, trimmed, cut at the first NUL (as a conversion to QString
        // is), empty ones skipped.
        QStringList expected;
        for (const QByteArray &raw : data.split('\r')) {
            const QByteArray piece(raw.trimmed().constData());
            if (data.contains('\r') && !piece.isEmpty())
                expected.append(QString::fromLatin1(piece));
        }
        check(lines == expected);
    }
    return 0;
}
