// The audio thread must never allocate: append() on the real writer, counted by replacing malloc in this executable
// (operator new and Qt's containers both end there). Built only without sanitizers, which own malloc.

#include "base/AudioStreamBasicDescription.h"
#include "capture/AudioSampleWriter.h"
#include "support/TestSupport.h"

#include <QTest>
#include <QThread>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {
// Counted only on the thread that asks, so the encoder thread's own work is left out.
thread_local bool t_counting = false;
thread_local std::uint64_t t_allocations = 0;
} // namespace

// glibc's own entry points: replacing malloc and realloc this way keeps every block glibc's, so its free() and
// memalign() still match.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_realloc(void* memory, std::size_t size);

void* malloc(std::size_t size)
{
    t_allocations += t_counting ? 1 : 0;
    return __libc_malloc(size);
}
void* realloc(void* memory, std::size_t size)
{
    t_allocations += t_counting ? 1 : 0;
    return __libc_realloc(memory, size);
}
}

using namespace vessaro;

class AppendAllocationsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void appendAllocatesNothing()
    {
        test::ScopedCacheHome home;
        auto made = AudioSampleWriter::create(AudioStreamBasicDescription::stereoFloat(48000));
        QVERIFY(made.ok());
        const std::shared_ptr<AudioSampleWriter> writer = made.value();

        constexpr std::uint32_t kFrames = 480;
        std::vector<float> samples(2 * kFrames, 0.25f);
        const AudioBufferList list { 1, { { 2, kFrames * 8, samples.data() } } };
        // The counter must see an allocation made inside Qt, as one in append would be.
        t_counting = true;
        const QByteArray probe(64, 'x');
        t_counting = false;
        QCOMPARE(t_allocations, std::uint64_t { 1 });
        t_allocations = 0;

        for (int call = 0; call < 200; ++call) {
            t_counting = true;
            writer->append(&list);
            t_counting = false;
            // Near real time, so the encoder keeps up and every buffer is taken.
            if (call % 10 == 9)
                QThread::msleep(10);
        }
        QCOMPARE(writer->frames(), std::int64_t { 200 } * kFrames);
        QCOMPARE(t_allocations, std::uint64_t { 0 });
        writer->discard();
    }
};

QTEST_GUILESS_MAIN(AppendAllocationsTest)
#include "tst_appendallocations.moc"
