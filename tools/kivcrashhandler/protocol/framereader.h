#ifndef KIVCRASHHANDLER_PROTOCOL_FRAMEREADER_H
#define KIVCRASHHANDLER_PROTOCOL_FRAMEREADER_H

#include "wire.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// Cuts the byte stream from the library into frames: each frame is the bytes before a 0x24 ('$')
// terminator. Pure (bytes in, frames out, no I/O), so tests and a fuzzer can drive it directly.
//
// Bounded: a frame whose body grows past kMaxFrameSize is not kept. Its bytes are counted and
// thrown away until the next 0x24, which ends it; the reader then reports it once as an oversize
// frame (with its size) and carries on with the bytes after that terminator. So the reader never
// holds more than kMaxFrameSize bytes, whatever the peer sends.
class FrameReader
{
public:
    static constexpr int kMaxFrameSize = 1024 * 1024;
    static constexpr char kTerminator = Wire::kFrameTerminator;

    struct Frame
    {
        QByteArray body;      // the frame without its terminator; empty for an oversize frame
        qint64 size = 0;      // length of the body as it arrived on the wire
        bool oversize = false;
    };

    // Consumes a chunk of the stream and returns the frames it completes, in order.
    QList<Frame> feed(const QByteArray &bytes);
    QList<Frame> feed(const char *data, qint64 size);

    // Bytes of an unfinished frame (counted, not stored, while an oversize frame is being skipped).
    qint64 pendingBytes() const;
    // Bytes actually held in memory; never more than kMaxFrameSize.
    int bufferedBytes() const { return m_buffer.size(); }

private:
    QByteArray m_buffer;
    bool m_skipping = false;
    qint64 m_skipped = 0;
};

#endif // KIVCRASHHANDLER_PROTOCOL_FRAMEREADER_H
