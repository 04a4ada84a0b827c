// The crash handler's frame reader against what a stream can bring: frames split across reads,
// many frames per read, lone terminators, bytes that are not UTF-8, and frames over the 1 MiB limit.
// Arbitrary chunkings of arbitrary streams are the fuzz target's job (fuzz_handlerframes).

#include "framereader.h"

#include <QtTest>

using Chunks = QList<QByteArray>;

class tst_FrameReader : public QObject
{
    Q_OBJECT

private slots:
    void frames_data()
    {
        const QByteArray big(FrameReader::kMaxFrameSize, 'x');
        const QByteArray dropped = "<dropped 1048578>"; // 1 MiB + 2 bytes skipped up to the terminator
        QTest::addColumn<Chunks>("chunks");
        QTest::addColumn<Chunks>("frames"); // oversize frames as "<dropped N>"
        QTest::addColumn<int>("pending");

        QTest::newRow("split across reads") << Chunks {"cloudCo", "nfig@a@", "b", "$Exit", "Client"} << Chunks {"cloudConfig@a@b"} << 10;
        QTest::newRow("many in one read, lone $") << Chunks {"$a$b$$c$d"} << Chunks {"", "a", "b", "", "c"} << 1;
        QTest::newRow("not UTF-8, passed through") << Chunks {QByteArray("\xff\xfe\x00\xc3$", 5)} << Chunks {QByteArray("\xff\xfe\x00\xc3", 4)} << 0;
        QTest::newRow("exactly 1 MiB is kept") << Chunks {big, "$"} << Chunks {big} << 0;
        QTest::newRow("1 MiB + 1 dropped, next kept") << Chunks {big + "y", "y$next$"} << Chunks {dropped, "next"} << 0;
        // A peer that never sends a terminator cannot make the reader hold more than one frame's worth.
        QTest::newRow("2 MiB unterminated") << Chunks {big, big} << Chunks {} << 2 * FrameReader::kMaxFrameSize;
        QTest::newRow("2 MiB unterminated, then recovers") << Chunks {big, big, "y$ok$"} << Chunks {"<dropped 2097153>", "ok"} << 0;
        QTest::newRow("oversize in one read") << Chunks {"a$" + big + "zz$b$"} << Chunks {"a", dropped, "b"} << 0;
    }

    void frames()
    {
        QFETCH(Chunks, chunks);
        QFETCH(Chunks, frames);
        QFETCH(int, pending);
        FrameReader reader;
        Chunks got;
        for (const QByteArray &chunk : chunks) {
            const QList<FrameReader::Frame> done = reader.feed(chunk);
            QVERIFY(reader.bufferedBytes() <= FrameReader::kMaxFrameSize);
            for (const FrameReader::Frame &f : done) {
                QVERIFY(f.oversize ? f.body.isEmpty() : f.size == f.body.size());
                got.append(f.oversize ? "<dropped " + QByteArray::number(f.size) + '>' : f.body);
            }
        }
        QCOMPARE(got, frames);
        QCOMPARE(reader.pendingBytes(), qint64(pending));
    }
};

QTEST_APPLESS_MAIN(tst_FrameReader)
#include "tst_framereader.moc"
