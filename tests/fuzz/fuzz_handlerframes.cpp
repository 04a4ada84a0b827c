// Fuzzes the reference crash handler's reading side: the frame reader fed the stream in arbitrary
// chunks, and the parsing of every frame it yields. Input: byte 0 seeds the chunk sizes (0xff also
// puts an almost-full frame in front, to reach the oversize path); the rest is the stream.
// Checks: the frames are exactly the '$'-separated pieces of the stream, whatever the chunking; the
// reader never holds more than its bound; every parsed message is consistent (field count per kind,
// a well-formed subProcessInfo names its executable, the reply is short printable ASCII).

#include "protocol/framereader.h"
#include "protocol/handlermessage.h"

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition) { if (!condition) std::abort(); }

void checkMessage(const QByteArray &body)
{
    const HandlerMessage m = HandlerMessage::parse(body);
    check(m.size == body.size() && (m.kind == HandlerMessage::Empty) == body.isEmpty());
    if (m.kind == HandlerMessage::CloudConfig || m.kind == HandlerMessage::ExceptionCheck || m.kind == HandlerMessage::StreamNode)
        check(m.fields.size() == 2);
    if (m.kind == HandlerMessage::ClientLogin)
        check(m.fields.size() == 3);
    if (m.kind == HandlerMessage::SubProcessInfo)
        check(m.isMalformed() || !m.payload.value(QStringLiteral("appName")).isUndefined());
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
    // The filler goes in whole: cutting a megabyte into small chunks is slow.
    const int filler = seed == 0xff ? FrameReader::kMaxFrameSize - 2 : 0;
    const QByteArray stream = QByteArray(filler, 'x') + QByteArray(reinterpret_cast<const char *>(data + 1), int(size - 1));
    QList<QByteArray> expected = stream.split(FrameReader::kTerminator);
    const QByteArray pending = expected.takeLast();

    FrameReader reader;
    QList<FrameReader::Frame> frames = reader.feed(stream.constData(), filler);
    uint32_t state = seed * 2654435761u + 1;
    for (int pos = filler, chunk = 0; pos < stream.size(); pos += chunk) {
        state = state * 1103515245u + 12345u;
        chunk = qMin(stream.size() - pos, 1 + int((state >> 16) % 64) * ((state & 1) ? 1 : 97));
        frames += reader.feed(stream.constData() + pos, chunk);
        check(reader.bufferedBytes() <= FrameReader::kMaxFrameSize);
    }

    check(frames.size() == expected.size() && reader.pendingBytes() == pending.size());
    for (int i = 0; i < frames.size(); ++i) {
        const bool oversize = expected.at(i).size() > FrameReader::kMaxFrameSize;
        check(frames.at(i).size == expected.at(i).size() && frames.at(i).oversize == oversize);
        check(oversize ? frames.at(i).body.isEmpty() : frames.at(i).body == expected.at(i));
        if (!oversize)
            checkMessage(frames.at(i).body);
    }
    return 0;
}
