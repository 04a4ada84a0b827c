// The crash handler's frame reader against what a stream can bring: frames split across reads,
// many frames per read, lone terminators, bytes that are not UTF-8, and frames over the 1 MiB limit.

#include "framereader.h"

#include <QtTest>

using Chunks = QList<QByteArray>;
Q_DECLARE_METATYPE(Chunks)

class tst_FrameReader : public QObject
{
    Q_OBJECT

private:
    // Frames as text; an oversize frame shows as "<dropped N>".
    static QStringList run(FrameReader &reader, const Chunks &chunks)
    {
        QStringList out;
        for (const QByteArray &chunk : chunks) {
            for (const FrameReader::Frame &f : reader.feed(chunk)) {
                if (f.oversize) {
                    out.append(QStringLiteral("<dropped %1>").arg(f.size));
                } else {
                    out.append(QString::fromLatin1(f.body.toHex()));
                    if (f.size != f.body.size())
                        out.append(QStringLiteral("<size mismatch>"));
                }
            }
        }
        return out;
    }
    static QString hex(const char *s) { return QString::fromLatin1(QByteArray(s).toHex()); }

private slots:
    void frames_data()
    {
        const QByteArray big(FrameReader::kMaxFrameSize, 'x');
        QTest::addColumn<Chunks>("chunks");
        QTest::addColumn<QStringList>("frames");
        QTest::addColumn<int>("pending");

        QTest::newRow("one frame") << Chunks {"ExitClient$"} << QStringList {hex("ExitClient")} << 0;
        QTest::newRow("split across reads") << Chunks {"cloudCo", "nfig@a@", "b", "$"}
                                            << QStringList {hex("cloudConfig@a@b")} << 0;
        QTest::newRow("many in one read") << Chunks {"a$b$$c$"} << QStringList {hex("a"), hex("b"), hex(""), hex("c")} << 0;
        QTest::newRow("lone terminator") << Chunks {"$"} << QStringList {hex("")} << 0;
        QTest::newRow("unfinished tail kept") << Chunks {"a$bc", "d"} << QStringList {hex("a")} << 3;
        QTest::newRow("no terminator yet") << Chunks {"Exit", "Client"} << QStringList() << 10;
        QTest::newRow("not UTF-8, passed through") << Chunks {QByteArray("\xff\xfe\x00\xc3", 4) + "$"}
                                                  << QStringList {QStringLiteral("fffe00c3")} << 0;
        QTest::newRow("exactly 1 MiB is kept") << Chunks {big, "$"} << QStringList {QString::fromLatin1(big.toHex())} << 0;
        QTest::newRow("1 MiB + 1 dropped, next kept") << Chunks {big + "y", "y$next$"}
                                                      << QStringList {QStringLiteral("<dropped 1048578>"), hex("next")} << 0;
        QTest::newRow("oversize in one read") << Chunks {"a$" + big + "zz$b$"}
                                              << QStringList {hex("a"), QStringLiteral("<dropped 1048578>"), hex("b")} << 0;
        QTest::newRow("oversize still open") << Chunks {big, big} << QStringList() << 2 * FrameReader::kMaxFrameSize;
    }

    void frames()
    {
        QFETCH(Chunks, chunks);
        QFETCH(QStringList, frames);
        QFETCH(int, pending);
        FrameReader reader;
        QCOMPARE(run(reader, chunks), frames);
        QCOMPARE(reader.pendingBytes(), qint64(pending));
        QVERIFY(reader.bufferedBytes() <= FrameReader::kMaxFrameSize);
    }

    // A peer that never sends a terminator cannot make the reader hold more than one frame's worth,
    // and the reader is back to normal after the terminator comes.
    void boundedWithoutTerminator()
    {
        FrameReader reader;
        const QByteArray chunk(64 * 1024, 'q');
        for (int i = 0; i < 64; ++i) {
            QVERIFY(reader.feed(chunk).isEmpty());
            QVERIFY(reader.bufferedBytes() <= FrameReader::kMaxFrameSize);
        }
        QCOMPARE(reader.pendingBytes(), qint64(64) * chunk.size());
        QCOMPARE(reader.bufferedBytes(), 0);

        const QList<FrameReader::Frame> frames = reader.feed(QByteArray("$ok$"));
        QCOMPARE(frames.size(), 2);
        QVERIFY(frames.at(0).oversize);
        QCOMPARE(frames.at(0).size, qint64(64) * chunk.size());
        QVERIFY(!frames.at(1).oversize);
        QCOMPARE(frames.at(1).body, QByteArray("ok"));
        QCOMPARE(reader.pendingBytes(), qint64(0));
    }

    // Byte-by-byte delivery gives the same frames as one read.
    void byteByByte()
    {
        const QByteArray stream("cloudConfig@a@b$ClientLogin@u@l@0$$ExitClient$tail");
        FrameReader whole;
        FrameReader single;
        Chunks bytes;
        for (char c : stream)
            bytes.append(QByteArray(1, c));
        QCOMPARE(run(single, bytes), run(whole, {stream}));
        QCOMPARE(single.pendingBytes(), qint64(4));
    }
};

QTEST_APPLESS_MAIN(tst_FrameReader)
#include "tst_framereader.moc"
