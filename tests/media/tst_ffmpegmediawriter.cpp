#include "base/FileDescriptor.h"
#include "media/FfmpegMediaAsset.h"
#include "media/FfmpegMediaWriter.h"
#include "media/FfmpegMediaWriterFactory.h"
#include "media/Mp4Flattener.h"
#include "support/ScopedTmpfs.h"
#include "support/TestSupport.h"

extern "C" {
#include <libavutil/log.h>
}

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace vessaro;
using test::appendOne;
using test::readAll;
using test::startedWriter;

namespace {

// The size of each file whenever its data was synced. Only a power cut loses what was written but
// not synced, and none can be caused here, so fdatasync is watched at the seam to the kernel.
std::mutex syncedMutex;
std::vector<qint64> syncedSizes;

} // namespace

extern "C" int fdatasync(int fd)
{
    struct stat info { };
    if (::fstat(fd, &info) == 0) {
        const std::lock_guard lock(syncedMutex);
        syncedSizes.push_back(info.st_size);
    }
    return static_cast<int>(::syscall(SYS_fdatasync, fd));
}

namespace {

enum class SampleKind { float32, int16, int32 };
using Stream = AudioStreamBasicDescription;
using Settings = AudioOutputSettings;
using State = MediaWriter::Status;

struct RoundTrip {
    SampleKind kind;
    int rate;
    std::uint32_t channels;
    int hint;
    std::int64_t bufferFrames, frames;
};

Stream makeStream(SampleKind kind, double rate, std::uint32_t channels)
{
    const std::uint32_t bits = kind == SampleKind::int16 ? 16 : 32;
    const std::uint32_t type = kind == SampleKind::float32 ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger;
    return { rate, kAudioFormatLinearPCM, kAudioFormatFlagIsPacked | type, channels * bits / 8, 1, channels * bits / 8,
        channels, bits };
}

// Interleaved source bytes and the 24-bit values, interleaved, that the file must decode to.
struct Signal {
    Stream stream;
    std::vector<std::byte> bytes;
    std::vector<std::int32_t> expected;
};

Signal makeSignal(SampleKind kind, int rate, std::uint32_t channels, std::int64_t frames, std::uint32_t seed = 7)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::int32_t> value24(-(1 << 23), (1 << 23) - 1);
    const std::size_t size = kind == SampleKind::int16 ? 2 : 4, count = std::size_t(frames) * channels;
    Signal signal { makeStream(kind, rate, channels), std::vector<std::byte>(count * size),
        std::vector<std::int32_t>(count) };
    for (std::size_t i = 0; i < count; ++i) {
        std::int32_t v = value24(random);
        std::int32_t sample = v * 256 + static_cast<std::int32_t>(random() & 0xFFU); // the file drops the low byte
        if (kind == SampleKind::int16) {
            sample = v >> 8;
            v = sample * 256;
        } else if (kind == SampleKind::float32) {
            // Exact in a float; now and then the range edges and samples beyond them, which clamp.
            float f = static_cast<float>(v) / 8388608.0F;
            if (const std::size_t edge = i / channels % 1000; edge >= 1 && edge <= 4) {
                f = std::array { 1.0F, -1.0F, 1.5F, -7.0F }[edge - 1];
                v = edge % 2 == 1 ? (1 << 23) - 1 : -(1 << 23);
            }
            std::memcpy(&sample, &f, sizeof f);
        }
        const auto le16 = static_cast<std::int16_t>(sample);
        std::memcpy(&signal.bytes[i * size], size == 2 ? static_cast<const void*>(&le16) : &sample, size);
        signal.expected[i] = v;
    }
    return signal;
}

// Feeds the signal in buffers of `bufferFrames` from a thread of its own, like the audio thread, and
// returns the frames the writer took. Joining it is the hand-over: no append runs after.
std::int64_t feed(MediaWriter& writer, const Signal& signal, std::int64_t bufferFrames)
{
    const std::uint32_t frameBytes = signal.stream.mBytesPerFrame;
    const auto total = static_cast<std::int64_t>(signal.bytes.size() / frameBytes);
    std::int64_t done = 0;
    std::thread([&] {
        for (std::int64_t n = 0; done < total; done += n) {
            n = std::min(bufferFrames, total - done);
            if (!appendOne(
                    writer, &signal.bytes[std::size_t(done) * frameBytes], std::uint32_t(n), signal.stream, done))
                return;
        }
    }).join();
    return done;
}

State finish(MediaWriter& writer)
{
    writer.markAsFinished();
    writer.finishWriting();
    return writer.status();
}

// Whether ffmpeg decodes the file to exactly the first `frames` frames of the signal.
bool decodesTo(const QString& path, const Signal& signal, std::int64_t frames)
{
    static const QTemporaryDir scratch; // off the small disk
    const QString raw = scratch.filePath(QStringLiteral("decoded.raw"));
    if (!test::runFfmpeg(QStringLiteral("-i %1 -f s32le").arg(path), raw))
        return false;
    const QByteArray bytes = readAll(raw);
    std::vector<std::int32_t> got(std::size_t(bytes.size()) / 4);
    std::memcpy(got.data(), bytes.constData(), got.size() * 4);
    const std::size_t want = std::size_t(frames) * signal.stream.mChannelsPerFrame;
    return got.size() == want
        && std::equal(signal.expected.begin(), signal.expected.begin() + std::ptrdiff_t(want), got.begin(),
            [](std::int32_t expected, std::int32_t decoded) { return expected == decoded >> 8; });
}

struct TopBox {
    QString type;
    qint64 offset, end;
};

// The file's top-level boxes; a last one that runs past the end is "torn".
std::vector<TopBox> topLevelBoxes(const QString& path)
{
    const QByteArray bytes = readAll(path);
    std::vector<TopBox> boxes;
    for (qint64 at = 0; at + 8 <= bytes.size();) {
        auto size = qint64(qFromBigEndian<quint32>(bytes.constData() + at));
        if (size == 1 && at + 16 <= bytes.size())
            size = qint64(qFromBigEndian<quint64>(bytes.constData() + at + 8));
        const bool torn = size < 8 || size > bytes.size() - at;
        boxes.push_back({ torn ? QStringLiteral("torn") : QString::fromLatin1(bytes.mid(at + 4, 4)), at, at + size });
        if (torn)
            break;
        at += size;
    }
    return boxes;
}

QStringList boxTypes(const QString& path)
{
    QStringList types;
    for (const TopBox& box : topLevelBoxes(path))
        types << box.type;
    return types;
}

const QStringList kOrdinary { "ftyp", "mdat", "moov" };
constexpr std::int64_t kFragmentFrames = test::kFramesPerFragment;

Result<Mp4Flattener::Report> flattenFile(const QString& path)
{
    const FileDescriptor fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC));
    return Mp4Flattener::flatten(fd.get());
}

} // namespace

class TestFfmpegMediaWriter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { av_log_set_level(AV_LOG_QUIET); } // torn files are read on purpose
    // What the factory makes of a source, whether a writer takes the settings, and whether it then starts:
    // never with a source the factory refuses, nor one that differs from the settings.
    void setup_data()
    {
        QTest::addColumn<Stream>("stream");
        QTest::addColumn<Settings>("settings");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("applicable");
        QTest::addColumn<bool>("starts");
        const std::uint32_t lpcm = kAudioFormatLinearPCM, fp = kAudioFormatFlagIsPacked | kAudioFormatFlagIsFloat;
        const Settings alac { kAudioFormatAppleLossless, 48000, 2, 24 };
        const auto refused
            = [&](const char* name, const Stream& s) { QTest::newRow(name) << s << alac << false << true << false; };
        const auto output = [&](const char* name, const Settings& o, bool applicable, bool starts) {
            QTest::newRow(name) << Stream { 48000, lpcm, fp, 8, 1, 8, 2, 32 } << o << true << applicable << starts;
        };
        QTest::newRow("eight channels") << Stream { 48000, lpcm, fp, 32, 1, 32, 8, 32 } << alac << true << true
                                        << false;
        refused("all zeros, as on a fresh driver", Stream {});
        refused("big-endian", { 48000, lpcm, fp | kAudioFormatFlagIsBigEndian, 8, 1, 8, 2, 32 });
        refused("non-interleaved", { 48000, lpcm, fp | kAudioFormatFlagIsNonInterleaved, 8, 1, 8, 2, 32 });
        refused("float64", { 48000, lpcm, fp, 16, 1, 16, 2, 64 });
        refused("unsigned integers", { 48000, lpcm, kAudioFormatFlagIsPacked, 4, 1, 4, 2, 16 });
        refused("bytes per frame mismatch", { 48000, lpcm, fp, 4, 1, 4, 2, 32 });
        refused("nine channels", { 48000, lpcm, fp, 36, 1, 36, 9, 32 });
        for (const double rate : { std::nan(""), 0.0, 2147483648.0 })
            refused(
                QByteArray("rate ").append(QByteArray::number(rate)).constData(), { rate, lpcm, fp, 8, 1, 8, 2, 32 });
        output("alac 48 kHz stereo 24", alac, true, true);
        output("32-bit hint", { kAudioFormatAppleLossless, 48000, 2, 32 }, false, false);
        output("not alac", { kAudioFormatLinearPCM, 48000, 2, 24 }, false, false);
        output("other rate than the source", { kAudioFormatAppleLossless, 44100, 2, 24 }, true, false);
        output("other channel count", { kAudioFormatAppleLossless, 48000, 1, 24 }, true, false);
    }
    void setup()
    {
        QFETCH(Stream, stream);
        QFETCH(Settings, settings);
        QFETCH(bool, accepted);
        QFETCH(bool, applicable);
        QFETCH(bool, starts);
        std::optional<AudioFormatDescription> description = AudioFormatDescription {};
        QCOMPARE(FfmpegMediaWriterFactory().makeFormatDescription(stream, &description), accepted ? 0 : -22);
        QCOMPARE(description.has_value(), accepted);
        auto created = FfmpegMediaWriterFactory().createWriter(nextPath());
        QVERIFY(created);
        MediaWriter& writer = *created.value();
        QCOMPARE(writer.canApplyOutputSettings(settings), applicable);
        if (!applicable)
            return;
        writer.addInput(settings, AudioFormatDescription { stream });
        QCOMPARE(writer.startWriting(), starts);
        QCOMPARE(writer.status() == State::failed && writer.error(), !starts);
    }
    void roundTrip_data()
    {
        QTest::addColumn<RoundTrip>("t");
        QTest::newRow("float32 eight channels, 512") << RoundTrip { SampleKind::float32, 48000, 8, 24, 512, 20000 };
        QTest::newRow("int16 six channels, 16-bit hint, 1") << RoundTrip { SampleKind::int16, 48000, 6, 16, 1, 9000 };
        QTest::newRow("int32 24-bit content 96 kHz, 512") << RoundTrip { SampleKind::int32, 96000, 2, 24, 512, 100001 };
        QTest::newRow("float32 mono 48 kHz, 4097") << RoundTrip { SampleKind::float32, 48000, 1, 24, 4097, 40000 };
        // One refusal ends a recording, so the ring must ride out an encoder stall of five seconds.
        QTest::newRow("five seconds in one buffer") << RoundTrip { SampleKind::float32, 48000, 2, 24, 240000, 240000 };
    }
    void roundTrip()
    {
        QFETCH(RoundTrip, t);
        const Signal signal = makeSignal(t.kind, t.rate, t.channels, t.frames);
        const QString path = nextPath();
        auto writer = startedWriter(path, signal.stream, t.hint);
        QVERIFY(writer);
        QCOMPARE(feed(*writer, signal, t.bufferFrames), t.frames);
        QCOMPARE(finish(*writer), State::completed);
        QVERIFY(writer->hasPlayableFile());
        QCOMPARE(QFile::permissions(path), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(boxTypes(path), kOrdinary);
        const MediaTime duration = FfmpegMediaAsset(path).loadDuration().value();
        QCOMPARE(QList<qint64>({ duration.value, duration.timescale }), QList<qint64>({ t.frames, t.rate }));
        QVERIFY(decodesTo(path, signal, t.frames));
    }
    void malformedBufferListsAreRejected_data()
    {
        QTest::addColumn<AudioBufferList>("list"); // 512 frames of float stereo are 4096 bytes
        QTest::newRow("two buffers") << AudioBufferList { 2, { { 2, 4096, m_bytes.data() } } };
        QTest::newRow("no buffers") << AudioBufferList { 0, { { 2, 4096, m_bytes.data() } } };
        QTest::newRow("channel count differs") << AudioBufferList { 1, { { 1, 4096, m_bytes.data() } } };
        QTest::newRow("too few bytes") << AudioBufferList { 1, { { 2, 4088, m_bytes.data() } } };
        QTest::newRow("no data") << AudioBufferList { 1, { { 2, 4096, nullptr } } };
    }
    void malformedBufferListsAreRejected()
    {
        QFETCH(AudioBufferList, list);
        auto writer = startedWriter(nextPath(), makeStream(SampleKind::float32, 48000, 2));
        QVERIFY(writer && writer->createSampleBuffer(512, 0) == 0);
        QCOMPARE(writer->copyIntoSampleBuffer(&list), -22);
        QVERIFY(!writer->appendSampleBuffer());
    }
    void fullRingRefusesWithoutPublishing()
    {
        const Signal signal = makeSignal(SampleKind::int16, 48000, 2, 8192);
        const QString path = nextPath();
        auto writer = startedWriter(path, signal.stream, 24, 16384);
        QVERIFY(writer);
        QVERIFY(appendOne(*writer, signal.bytes.data(), 1000, signal.stream, 0));
        // A buffer larger than the whole ring never fits, however fast the encoder drains.
        QVERIFY(!appendOne(*writer, signal.bytes.data(), 8192, signal.stream, 1000));
        QCOMPARE(dynamic_cast<FfmpegMediaWriter&>(*writer).refusedSampleBuffers(), std::uint64_t { 1 });
        QCOMPARE(finish(*writer), State::completed);
        QVERIFY(decodesTo(path, signal, 1000));
    }
    void uncreatableOutputIsPlatformError()
    {
        QFile blocker(nextPath());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        auto writer = FfmpegMediaWriterFactory().createWriter(blocker.fileName() + QStringLiteral("/recording.mp4"));
        QVERIFY(!writer && writer.error().platformError());
        QCOMPARE(writer.error().platformError()->code(), ENOTDIR);
    }
    // The disk fills mid-recording: the writer fails on its own, keeps that first error, and
    // finishing keeps the fragments before.
    void diskFullKeepsTheAudioBeforeIt()
    {
        const test::ScopedTmpfs disk(
            m_dir.filePath(QStringLiteral("disk")), test::ScopedTmpfs::Access::readWrite, "size=256k");
        if (!disk.isMounted())
            QSKIP("no small tmpfs here");
        // Noise does not compress: three seconds of it are far more than 256 KiB.
        const Signal signal = makeSignal(SampleKind::float32, 48000, 2, 3 * 48000, 11);
        const QString path = m_dir.filePath(QStringLiteral("disk/full.mp4"));
        auto writer = startedWriter(path, signal.stream);
        QVERIFY(writer);
        feed(*writer, signal, 512);
        QTRY_COMPARE_WITH_TIMEOUT(writer->status(), State::failed, 60000);
        QVERIFY(!appendOne(*writer, signal.bytes.data(), 512, signal.stream, 0));
        QCOMPARE(finish(*writer), State::failed);
        QCOMPARE(writer->error(), std::optional<QString>(QStringLiteral("写入文件失败：No space left on device")));
        QVERIFY(writer->hasPlayableFile());
        QCOMPARE(boxTypes(path), kOrdinary);
        QVERIFY(decodesTo(path, signal, kFragmentFrames));
    }
    // Cut anywhere, a fragmented file keeps its whole fragments or is refused; the repair never crashes.
    // Left as a crash leaves it: what reached the disk reads back.
    void cutFilesAreRepairedOrRefused()
    {
        const Signal signal = makeSignal(SampleKind::int16, 48000, 2, 2 * 48000, 5);
        const QString source = nextPath();
        auto writer = startedWriter(source, signal.stream);
        QVERIFY(writer);
        feed(*writer, signal, 512);
        QTRY_COMPARE_WITH_TIMEOUT(boxTypes(source).count(QStringLiteral("moof")), 3, 10000);
        writer.reset();
        const QByteArray whole = readAll(source);
        const std::vector<TopBox> boxes = topLevelBoxes(source);
        std::vector<qint64> cuts;
        for (const TopBox& box : boxes) {
            const std::lock_guard lock(syncedMutex); // each fragment was on the disk before the next began
            QVERIFY(box.type != QStringLiteral("mdat") || std::count(syncedSizes.begin(), syncedSizes.end(), box.end));
            for (const qint64 delta : { -1, 0, 1, 8, 17 })
                cuts.push_back(std::clamp<qint64>(box.end + delta, 0, whole.size()));
        }
        std::mt19937 random(3);
        for (int i = 0; i < 40; ++i)
            cuts.push_back(std::uniform_int_distribution<qint64>(0, whole.size())(random));
        for (const qint64 cut : cuts) {
            const QString path = nextPath();
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(whole.left(cut)) == cut);
            file.close();
            // The moof+mdat pairs that lie whole before the cut.
            const auto fragments = std::count_if(boxes.begin(), boxes.end(),
                [&](const TopBox& box) { return box.type == QStringLiteral("mdat") && box.end <= cut; });
            const auto frames = std::int64_t(fragments) * kFragmentFrames;
            const QByteArray at = QByteArray::number(cut);
            const auto repaired = flattenFile(path);
            if (fragments == 0) {
                QVERIFY2(!repaired && repaired.error().recorderError(), at.constData());
                QCOMPARE(repaired.error().recorderError()->kind(), RecorderError::Case::invalidOutput);
                QCOMPARE(QFileInfo(path).size(), cut);
                continue;
            }
            QVERIFY2(repaired && repaired.value().ordinary && repaired.value().samples == frames, at.constData());
            QCOMPARE(boxTypes(path), kOrdinary);
            QVERIFY2(decodesTo(path, signal, frames), at.constData());
        }
    }
    // The file may not grow when the index is appended (a full disk, here a size limit): the take stays
    // fragmented, whole and valid, and the writer completes. With room again the next look converts it; stopped
    // between writing the new index and the commit, the look after makes the very same file, and a further look
    // leaves it alone.
    void interruptedConversionIsCompleted()
    {
        const Signal signal = makeSignal(SampleKind::float32, 48000, 2, kFragmentFrames, 13);
        const QString path = nextPath();
        auto writer = startedWriter(path, signal.stream);
        QVERIFY(writer);
        feed(*writer, signal, 512);
        // Exactly one fragment's worth: it is closed while recording, and finishing adds no audio.
        QTRY_COMPARE_WITH_TIMEOUT(boxTypes(path).count(QStringLiteral("moof")), 1, 10000);
        const QByteArray fragmented = readAll(path);
        const TopBox moov = topLevelBoxes(path)[1];
        const auto restoreSignal = std::signal(SIGXFSZ, SIG_IGN);
        rlimit unlimited {};
        ::getrlimit(RLIMIT_FSIZE, &unlimited);
        const rlimit cap { rlim_t(fragmented.size()), unlimited.rlim_max };
        ::setrlimit(RLIMIT_FSIZE, &cap);
        const State status = finish(*writer);
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        std::signal(SIGXFSZ, restoreSignal);
        QCOMPARE(status, State::completed);
        QCOMPARE(readAll(path), fragmented);
        QVERIFY(decodesTo(path, signal, kFragmentFrames));
        QVERIFY(flattenFile(path));
        QCOMPARE(boxTypes(path), kOrdinary);
        const QByteArray ordinary = readAll(path);
        QFile file(path);
        QVERIFY(
            file.open(QIODevice::ReadWrite) && file.seek(moov.offset) && file.write(fragmented.mid(moov.offset, 16)));
        file.close();
        QVERIFY(decodesTo(path, signal, kFragmentFrames));
        for (int look = 0; look < 2; ++look) {
            QVERIFY(flattenFile(path));
            QCOMPARE(readAll(path), ordinary);
        }
    }

private:
    QString nextPath() { return m_dir.filePath(QStringLiteral("%1.mp4").arg(++m_files)); }
    QTemporaryDir m_dir;
    int m_files = 0;
    std::vector<std::byte> m_bytes = std::vector<std::byte>(4096);
};

QTEST_GUILESS_MAIN(TestFfmpegMediaWriter)
#include "tst_ffmpegmediawriter.moc"
