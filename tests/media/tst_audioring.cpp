#include "media/AudioRing.h"

#include <QTest>

#include <cstdint>
#include <thread>
#include <vector>

using vessaro::AudioRing;

namespace {
// Not periodic in any power of two, so a misplaced chunk shows.
std::uint8_t patternByte(std::uint64_t index) { return static_cast<std::uint8_t>((index * 2654435761ULL) >> 13); }

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
    void chunksCrossTheWrapPoint_data()
    {
        QTest::addColumn<qulonglong>("requested");  // rounds up to 64
        QTest::addColumn<qulonglong>("chunk");
        QTest::addColumn<qulonglong>("readChunk");
        QTest::newRow("3 in, 5 out") << 33ULL << 3ULL << 5ULL;
        QTest::newRow("63 in, 17 out") << 63ULL << 63ULL << 17ULL;
    }

    void chunksCrossTheWrapPoint()
    {
        QFETCH(qulonglong, requested);
        QFETCH(qulonglong, chunk);
        QFETCH(qulonglong, readChunk);
        AudioRing ring(requested);
        QCOMPARE(ring.capacity(), std::size_t{64});
        qulonglong written = 0, read = 0;
        std::vector<std::uint8_t> out(64);
        // Many laps, so every offset of the ring is a chunk boundary at some point. Each step moves
        // some bytes unless a fault stalls the ring, which the bound turns into a failure.
        for (int step = 0; read < 64 * 50 && step < 64 * 50; ++step) {
            if (ring.writableBytes() >= chunk) {
                QVERIFY(ring.writeUnpublished(pattern(written, chunk).data(), chunk));
                ring.publish();
                written += chunk;
            }
            const qulonglong got = ring.read(out.data(), readChunk);
            QCOMPARE(got, std::min<qulonglong>(readChunk, written - read));
            QCOMPARE(std::vector(out.begin(), out.begin() + std::ptrdiff_t(got)), pattern(read, got));
            read += got;
        }
        QCOMPARE_GE(read, 64ULL * 50);
        QCOMPARE(ring.refusals(), std::uint64_t{0});
    }

    void refusesWhenFullAndHidesUnpublished()
    {
        AudioRing ring(16);
        const auto bytes = pattern(0, 16);
        std::vector<std::uint8_t> out(16);
        // Unpublished bytes take room but cannot be read; a discarded buffer leaves no trace.
        QVERIFY(ring.writeUnpublished(pattern(500, 9).data(), 9));
        QCOMPARE(ring.read(out.data(), 16), std::size_t{0});
        QCOMPARE(ring.writableBytes(), std::size_t{7});
        ring.discardUnpublished();

        QVERIFY(ring.writeUnpublished(bytes.data(), 10));
        QVERIFY(!ring.writeUnpublished(bytes.data(), 7));
        QCOMPARE(ring.unpublishedBytes(), std::size_t{10});  // a refusal keeps what was there
        QVERIFY(ring.writeUnpublished(bytes.data() + 10, 6));
        QVERIFY(!ring.writeUnpublished(bytes.data(), 1));
        ring.publish();  // both writes as one unit
        // Reading frees exactly what was read, and nothing else.
        QCOMPARE(ring.read(out.data(), 5), std::size_t{5});
        QCOMPARE(ring.writableBytes(), std::size_t{5});
        QVERIFY(!ring.writeUnpublished(bytes.data(), 6));
        QCOMPARE(ring.refusals(), std::uint64_t{3});
        QCOMPARE(ring.read(out.data() + 5, 16), std::size_t{11});
        QCOMPARE(out, bytes);
    }

    void twoThreadsHandOverEveryByte()
    {
        AudioRing ring(4096);
        constexpr std::uint64_t total = 8 * 1024 * 1024;
        std::thread producer([&ring] {
            // Odd sizes, up to about a quarter of the ring, in two unpublished writes that one publish covers.
            for (std::uint64_t written = 0, size = 14; written < total; size = size % 997 + 13) {
                const std::size_t n = std::min(size, total - written);
                const auto chunk = pattern(written, n);
                const std::size_t half = n / 2;
                if (ring.writeUnpublished(chunk.data(), half) && ring.writeUnpublished(chunk.data() + half, n - half)) {
                    ring.publish();
                    written += n;
                } else {
                    ring.discardUnpublished();
                    std::this_thread::yield();
                }
            }
        });
        std::vector<std::uint8_t> out(1500);
        std::uint64_t read = 0, mismatches = 0;
        for (std::size_t size = 1; read < total; size = size % 1499 + 1) {
            const std::size_t got = ring.read(out.data(), size);
            for (std::size_t i = 0; i < got; ++i)
                mismatches += out[i] != patternByte(read + i) ? 1U : 0U;
            read += got;
            if (got == 0)
                std::this_thread::yield();
        }
        producer.join();
        QCOMPARE(mismatches, std::uint64_t{0});
    }
};

QTEST_APPLESS_MAIN(TestAudioRing)
#include "tst_audioring.moc"
