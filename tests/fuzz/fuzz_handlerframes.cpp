// Fuzzes the reference crash handler's reading side: the frame reader fed the stream in arbitrary
// chunks, and the parsing of every frame it yields (command, fields, subProcessInfo JSON payload).
// Input: byte 0 seeds the chunk sizes (0xff also puts an almost-full frame in front, to reach the
// oversize path); the rest is the stream.
// Checks: the frames are exactly the '$'-separated pieces of the stream, whatever the chunking; the
// reader never holds more than its bound; every parsed message is consistent (fields count per
// kind, the payload of a well-formed subProcessInfo names its executable, the reply line is short
// printable ASCII).

#include "framereader.h"
#include "handlermessage.h"

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void checkMessage(const QByteArray &body)
{
    const HandlerMessage m = HandlerMessage::parse(body);
    check(m.size == body.size());
    switch (m.kind) {
    case HandlerMessage::Empty:
        check(body.isEmpty());
        break;
    case HandlerMessage::CloudConfig:
    case HandlerMessage::ExceptionCheck:
    case HandlerMessage::StreamNode:
        check(m.fields.size() == 2);
        break;
    case HandlerMessage::ClientLogin:
        check(m.fields.size() == 3);
        break;
    case HandlerMessage::SubProcessInfo:
        check(m.isMalformed() || !m.payload.value(QStringLiteral("appName")).isUndefined());
        break;
    case HandlerMessage::ExitClient:
    case HandlerMessage::Unknown:
        break;
    }
    const QByteArray reply = m.reply();
    check(!reply.isEmpty() && reply.size() <= 48);
    for (char c : reply)
        check(c >= 0x20 && c <= 0x7e);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t seed = data[0];
    QByteArray stream;
    if (seed == 0xff)
        stream = QByteArray(FrameReader::kMaxFrameSize - 2, 'x');
    stream.append(reinterpret_cast<const char *>(data + 1), int(size - 1));

    // Expected: the pieces before each terminator; what follows the last one is still pending.
    QList<QByteArray> expected = stream.split(FrameReader::kTerminator);
    const QByteArray pending = expected.takeLast();

    FrameReader reader;
    QList<FrameReader::Frame> frames;
    uint32_t state = seed * 2654435761u + 1;
    int pos = 0;
    if (seed == 0xff) { // the filler goes in whole: cutting a megabyte into small chunks is slow
        pos = FrameReader::kMaxFrameSize - 2;
        frames += reader.feed(stream.constData(), pos);
    }
    while (pos < stream.size()) {
        state = state * 1103515245u + 12345u;
        const int chunk = qMin(stream.size() - pos, 1 + int((state >> 16) % 64) * ((state & 1) ? 1 : 97));
        frames += reader.feed(stream.constData() + pos, chunk);
        check(reader.bufferedBytes() <= FrameReader::kMaxFrameSize);
        pos += chunk;
    }

    check(frames.size() == expected.size());
    for (int i = 0; i < frames.size(); ++i) {
        const FrameReader::Frame &frame = frames.at(i);
        check(frame.size == expected.at(i).size());
        if (expected.at(i).size() > FrameReader::kMaxFrameSize) {
            check(frame.oversize && frame.body.isEmpty());
        } else {
            check(!frame.oversize && frame.body == expected.at(i));
            checkMessage(frame.body);
        }
    }
    check(reader.pendingBytes() == pending.size());
    return 0;
}
