#include "media/AudioRing.h"

#include <QTest>

#include <cstdint>
#include <thread>
#include <vector>

using vessaro::AudioRing;

namespace {

// The byte at stream position `index`: not periodic in any power of two, so
// a misplaced chunk shows.
std::uint8_t patternByte(std::uint64_t index)
{
    return static_cast<std::uint8_t>((index * 2654435761ULL) >> 13);
}

std::vector<std::uint8_t> pattern(std::uint64_t start, std::size_t length)
{
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = patternByte(start + i);
    return bytes;
}

} // namespace

class TestAudioRing : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void capacityIsPowerOfTwo_data();
    void capacityIsPowerOfTwo();
    void chunksCrossTheWrapPoint_data();
    void chunksCrossTheWrapPoint();
    void fullRingRefusesAndCounts();
    void unpublishedBytesStayHidden();
    void twoThreadsHandOverEveryByte();
};

void TestAudioRing::capacityIsPowerOfTwo_data()
{
    QTest::addColumn<qulonglong>("requested");
    QTest::addColumn<qulonglong>("capacity");
    QTest::newRow("zero") << 0ULL << 1ULL;
    QTest::newRow("one") << 1ULL << 1ULL;
    QTest::newRow("exact") << 4096ULL << 4096ULL;
    QTest::newRow("above") << 4097ULL << 8192ULL;
    QTest::newRow("five seconds of 48 kHz stereo float") << 1920000ULL << 2097152ULL;
}

void TestAudioRing::capacityIsPowerOfTwo()
{
    QFETCH(qulonglong, requested);
    QFETCH(qulonglong, capacity);
    AudioRing ring(static_cast<std::size_t>(requested));
    QCOMPARE(ring.capacity(), static_cast<std::size_t>(capacity));
    QCOMPARE(ring.writableBytes(), ring.capacity());
    QCOMPARE(ring.readableBytes(), std::size_t{0});
}

void TestAudioRing::chunksCrossTheWrapPoint_data()
{
    QTest::addColumn<int>("writeChunk");
    QTest::addColumn<int>("readChunk");
    QTest::newRow("1 in, 1 out") << 1 << 1;
    QTest::newRow("3 in, 5 out") << 3 << 5;
    QTest::newRow("7 in, 3 out") << 7 << 3;
    QTest::newRow("13 in, 64 out") << 13 << 64;
    QTest::newRow("63 in, 17 out") << 63 << 17;
    QTest::newRow("whole ring in, 11 out") << 64 << 11;
}

void TestAudioRing::chunksCrossTheWrapPoint()
{
    QFETCH(int, writeChunk);
    QFETCH(int, readChunk);
    AudioRing ring(64);
    std::uint64_t written = 0;
    std::uint64_t read = 0;
    std::vector<std::uint8_t> out(64);
    // Many laps, so every offset of the ring is a chunk boundary at some point.
    while (read < 64 * 50) {
        const auto chunk = static_cast<std::size_t>(writeChunk);
        if (ring.writableBytes() >= chunk) {
            const auto bytes = pattern(written, chunk);
            QVERIFY(ring.writeUnpublished(bytes.data(), chunk));
            ring.publish();
            written += chunk;
        }
        const std::size_t got = ring.read(out.data(), static_cast<std::size_t>(readChunk));
        QCOMPARE(got, std::min<std::size_t>(static_cast<std::size_t>(readChunk), static_cast<std::size_t>(written - read)));
        for (std::size_t i = 0; i < got; ++i)
            QCOMPARE(out[i], patternByte(read + i));
        read += got;
    }
    QCOMPARE(ring.refusals(), std::uint64_t{0});
}

void TestAudioRing::fullRingRefusesAndCounts()
{
    AudioRing ring(16);
    const auto bytes = pattern(0, 16);
    QVERIFY(ring.writeUnpublished(bytes.data(), 10));
    QVERIFY(!ring.writeUnpublished(bytes.data(), 7));
    QCOMPARE(ring.refusals(), std::uint64_t{1});
    QCOMPARE(ring.unpublishedBytes(), std::size_t{10});
    QVERIFY(ring.writeUnpublished(bytes.data() + 10, 6));
    QCOMPARE(ring.writableBytes(), std::size_t{0});
    QVERIFY(!ring.writeUnpublished(bytes.data(), 1));
    QCOMPARE(ring.refusals(), std::uint64_t{2});
    ring.publish();
    QCOMPARE(ring.readableBytes(), std::size_t{16});

    // Reading frees exactly what was read, and nothing else.
    std::vector<std::uint8_t> out(16);
    QCOMPARE(ring.read(out.data(), 5), std::size_t{5});
    QCOMPARE(ring.writableBytes(), std::size_t{5});
    QVERIFY(!ring.writeUnpublished(bytes.data(), 6));
    QCOMPARE(ring.refusals(), std::uint64_t{3});
    QCOMPARE(ring.read(out.data() + 5, 16), std::size_t{11});
    QCOMPARE(out, bytes);
}

void TestAudioRing::unpublishedBytesStayHidden()
{
    AudioRing ring(32);
    const auto first = pattern(1000, 12);
    const auto second = pattern(0, 20);
    std::vector<std::uint8_t> out(32);

    QVERIFY(ring.writeUnpublished(first.data(), first.size()));
    QCOMPARE(ring.readableBytes(), std::size_t{0});
    QCOMPARE(ring.read(out.data(), out.size()), std::size_t{0});
    QCOMPARE(ring.writableBytes(), std::size_t{20});

    // A buffer that is given up leaves no trace.
    ring.discardUnpublished();
    QCOMPARE(ring.writableBytes(), std::size_t{32});

    // Two writes published as one unit.
    QVERIFY(ring.writeUnpublished(second.data(), 8));
    QVERIFY(ring.writeUnpublished(second.data() + 8, 12));
    QCOMPARE(ring.readableBytes(), std::size_t{0});
    ring.publish();
    QCOMPARE(ring.unpublishedBytes(), std::size_t{0});
    QCOMPARE(ring.read(out.data(), out.size()), std::size_t{20});
    out.resize(20);
    QCOMPARE(out, second);
}

void TestAudioRing::twoThreadsHandOverEveryByte()
{
    AudioRing ring(4096);
    constexpr std::uint64_t total = 8 * 1024 * 1024;

    std::thread producer([&ring] {
        std::vector<std::uint8_t> chunk;
        std::uint64_t written = 0;
        std::size_t size = 1;
        while (written < total) {
            size = size % 997 + 13;  // odd sizes, up to about a quarter of the ring
            const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(size, total - written));
            chunk = pattern(written, length);
            // Split in two unpublished writes, so a publish covers both.
            const std::size_t half = length / 2;
            if (!ring.writeUnpublished(chunk.data(), half)) {
                std::this_thread::yield();
                continue;
            }
            if (!ring.writeUnpublished(chunk.data() + half, length - half)) {
                ring.discardUnpublished();
                std::this_thread::yield();
                continue;
            }
            ring.publish();
            written += length;
        }
    });

    std::vector<std::uint8_t> out(1500);
    std::uint64_t read = 0;
    std::uint64_t mismatches = 0;
    std::size_t size = 0;
    while (read < total) {
        size = size % 1499 + 1;
        const std::size_t got = ring.read(out.data(), size);
        for (std::size_t i = 0; i < got; ++i)
            mismatches += out[i] != patternByte(read + i) ? 1U : 0U;
        read += got;
        if (got == 0)
            std::this_thread::yield();
    }
    producer.join();
    QCOMPARE(mismatches, std::uint64_t{0});
    QCOMPARE(read, total);
    QCOMPARE(ring.readableBytes(), std::size_t{0});
}

QTEST_APPLESS_MAIN(TestAudioRing)
#include "tst_audioring.moc"
