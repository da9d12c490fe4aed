#include "media/AudioRing.h"

#include <QTest>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

using vessaro::AudioRing;

namespace {

// Not periodic in any power of two, so a misplaced chunk shows.
std::vector<std::uint8_t> pattern(std::uint64_t start, std::size_t length)
{
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<std::uint8_t>(((start + i) * 2654435761ULL) >> 13);
    return bytes;
}

} // namespace

class TestAudioRing : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Odd sizes on both sides, so over many laps every offset of the ring is a chunk boundary and a wrap point.
    void twoThreadsHandOverEveryByte()
    {
        AudioRing ring(4096);
        constexpr std::uint64_t total = 8 * 1024 * 1024;
        std::thread producer([&ring] {
            // Up to about a quarter of the ring, in two unpublished writes that one publish covers.
            for (std::uint64_t written = 0, size = 14; written < total; size = size % 997 + 13) {
                const std::size_t n = std::min(size, total - written);
                const auto chunk = pattern(written, n);
                if (ring.writeUnpublished(chunk.data(), n / 2)
                    && ring.writeUnpublished(chunk.data() + n / 2, n - n / 2)) {
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
            const auto expected = pattern(read, got);
            mismatches += std::equal(expected.begin(), expected.end(), out.begin()) ? 0U : 1U;
            read += got;
            if (got == 0)
                std::this_thread::yield();
        }
        producer.join();
        QCOMPARE(mismatches, std::uint64_t { 0 });
    }
};

QTEST_APPLESS_MAIN(TestAudioRing)
#include "tst_audioring.moc"
