#include "protocol/framereader.h"

#include <cstring>

QList<FrameReader::Frame> FrameReader::feed(const QByteArray &bytes)
{
    return feed(bytes.constData(), bytes.size());
}

QList<FrameReader::Frame> FrameReader::feed(const char *data, qint64 size)
{
    QList<Frame> frames;
    qint64 pos = 0;
    while (pos < size) {
        const void *hit = std::memchr(data + pos, kTerminator, size_t(size - pos));
        const qint64 end = hit ? static_cast<const char *>(hit) - data : size;
        const qint64 length = end - pos;

        if (m_skipping) {
            m_skipped += length;
        } else if (m_buffer.size() + length > kMaxFrameSize) {
            // Too long to be a frame from the library: stop storing and only count until the
            // next terminator.
            m_skipping = true;
            m_skipped = m_buffer.size() + length;
            m_buffer = QByteArray();
        } else {
            m_buffer.append(data + pos, int(length));
        }

        if (!hit)
            break;

        Frame frame;
        if (m_skipping) {
            frame.oversize = true;
            frame.size = m_skipped;
            m_skipping = false;
            m_skipped = 0;
        } else {
            frame.body = m_buffer;
            frame.size = m_buffer.size();
            m_buffer.clear();
        }
        frames.append(frame);
        pos = end + 1;
    }
    return frames;
}

qint64 FrameReader::pendingBytes() const
{
    return m_skipping ? m_skipped : m_buffer.size();
}
