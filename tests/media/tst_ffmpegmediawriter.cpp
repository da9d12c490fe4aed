#include "base/FileDescriptor.h"
#include "base/SystemErrorText.h"
#include "media/FfmpegMediaAsset.h"
#include "media/Mp4Flattener.h"
#include "media/Mp4OrdinaryMoov.h"
#include "support/ScopedTmpfs.h"
#include "support/TestSupport.h"

#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vessaro;

Q_DECLARE_METATYPE(test::FileFault)

namespace {

Result<Mp4Flattener::Report> flatten(const QString& path)
{
    const FileDescriptor fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC));
    return Mp4Flattener::flatten(fd.get());
}

struct RoundTrip {
    int rate;
    std::uint32_t channels;
    std::int64_t bufferFrames, frames;
};

// Interleaved float samples, as the capture delivers them, and the 24-bit values, shifted to the top of 32
// bits, that the file must decode to.
struct Signal {
    AudioStreamBasicDescription stream;
    std::vector<float> samples;
    std::vector<std::int32_t> expected;
};

Signal makeSignal(int rate, std::uint32_t channels, std::int64_t frames, std::uint32_t seed = 7)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::int32_t> value24(-(1 << 23), (1 << 23) - 1);
    const std::size_t count = std::size_t(frames) * channels;
    Signal signal { { double(rate), kAudioFormatLinearPCM, kAudioFormatFlagIsPacked | kAudioFormatFlagIsFloat,
                        channels * 4, 1, channels * 4, channels, 32 },
        std::vector<float>(count), std::vector<std::int32_t>(count) };
    for (std::size_t i = 0; i < count; ++i) {
        // Exact in a float; now and then the range edges and samples beyond them, which clamp.
        std::int32_t value = value24(random);
        signal.samples[i] = static_cast<float>(value) / 8388608.0F;
        if (const std::size_t edge = i / channels % 1000; edge >= 1 && edge <= 4) {
            signal.samples[i] = std::array { 1.0F, -1.0F, 1.5F, -7.0F }[edge - 1];
            value = edge % 2 == 1 ? (1 << 23) - 1 : -(1 << 23);
        }
        signal.expected[i] = value * 256;
    }
    return signal;
}

// Feeds the signal in buffers of `bufferFrames`, `pause` apart, from a thread of its own, like the audio thread, and
// returns the frames the writer took. Joining it is the hand-over: no append runs after.
std::int64_t feed(
    MediaWriter& writer, const Signal& signal, std::int64_t bufferFrames, std::chrono::microseconds pause = {})
{
    const std::uint32_t channels = signal.stream.mChannelsPerFrame;
    const auto total = static_cast<std::int64_t>(signal.samples.size() / channels);
    std::int64_t done = 0;
    std::thread([&] {
        for (std::int64_t n = 0; done < total; done += n) {
            n = std::min(bufferFrames, total - done);
            if (!test::appendOne(
                    writer, &signal.samples[std::size_t(done) * channels], std::uint32_t(n), signal.stream, done))
                return;
            std::this_thread::sleep_for(pause);
        }
    }).join();
    return done;
}

struct TopBox {
    QString type;
    qint64 offset, end;
};

// The file's top-level box types, their places in `boxes`; a last one that runs past the end is "torn".
QStringList boxTypes(const QString& path, std::vector<TopBox>* boxes = nullptr)
{
    const QByteArray bytes = test::readAll(path);
    QStringList types;
    for (qint64 at = 0; at < bytes.size();) {
        qint64 size = at + 8 <= bytes.size() ? qFromBigEndian<quint32>(bytes.constData() + at) : 0;
        if (size == 1 && at + 16 <= bytes.size())
            size = qint64(qFromBigEndian<quint64>(bytes.constData() + at + 8));
        const bool torn = size < 8 || size > bytes.size() - at;
        types << (torn ? QStringLiteral("torn") : QString::fromLatin1(bytes.mid(at + 4, 4)));
        if (boxes)
            boxes->push_back({ types.last(), at, at + size });
        at = torn ? bytes.size() : at + size;
    }
    return types;
}

// Whether the file is an ordinary one and ffmpeg decodes it to exactly the first `frames` frames of the signal.
bool playsAs(const QString& path, const Signal& signal, std::int64_t frames)
{
    static const QTemporaryDir scratch; // off the small disk
    const QString raw = scratch.filePath(QStringLiteral("decoded.raw"));
    const auto size = qsizetype(frames * signal.stream.mBytesPerFrame); // 32-bit samples in and out
    return boxTypes(path) == QStringList({ "ftyp", "mdat", "moov" })
        && test::runFfmpeg(QStringLiteral("-i %1 -f s32le").arg(path), raw)
        && test::readAll(raw) == QByteArray::fromRawData(reinterpret_cast<const char*>(signal.expected.data()), size);
}

} // namespace

class TestFfmpegMediaWriter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data()
    {
        QTest::addColumn<RoundTrip>("t");
        QTest::newRow("eight channels, 512") << RoundTrip { 48000, 8, 512, 20000 };
        QTest::newRow("six channels, one frame at a time") << RoundTrip { 48000, 6, 1, 9000 };
        QTest::newRow("96 kHz, a part packet at the end") << RoundTrip { 96000, 2, 512, 100001 };
        QTest::newRow("mono, 4097") << RoundTrip { 48000, 1, 4097, 40000 };
        // One refusal ends a recording, so the ring must ride out an encoder stall of five seconds.
        QTest::newRow("five seconds in one buffer") << RoundTrip { 48000, 2, 240000, 240000 };
    }
    void roundTrip()
    {
        QFETCH(RoundTrip, t);
        const Signal signal = makeSignal(t.rate, t.channels, t.frames);
        const QString path = nextPath();
        auto writer = test::startedWriter(path, signal.stream);
        QVERIFY(writer);
        QCOMPARE(feed(*writer, signal, t.bufferFrames), t.frames);
        writer->markAsFinished();
        writer->finishWriting();
        QCOMPARE(writer->status(), MediaWriter::Status::completed);
        QCOMPARE(FfmpegMediaAsset(path).loadDuration().value().seconds(), double(t.frames) / t.rate);
        QVERIFY(playsAs(path, signal, t.frames));
    }
    // The peak of what reaches the file, in any channel, for each sample format the writer takes: the negative full
    // scale counts as 1, the bits the file drops as nothing; a look resets it.
    void peakOfEachFormat()
    {
        const std::uint32_t real = kAudioFormatFlagIsFloat, integer = kAudioFormatFlagIsSignedInteger;
        for (const auto& [flag, bytes, left, right, peak] :
            std::initializer_list<std::tuple<std::uint32_t, std::uint32_t, double, double, double>> {
                { real, 4, 0.25, -0.5, 0.5 }, { real, 4, 1, 0, 8388607.0 / 8388608 }, { real, 4, 0, -1, 1 },
                { real, 4, 0.4 / 8388608, 0, 0 }, { integer, 2, 32767, 0, 32767.0 / 32768 },
                { integer, 2, 0, -32768, 1 }, { integer, 4, -256, 536870912, 0.25 },
                { integer, 4, -2147483648.0, 0, 1 }, { integer, 4, 255, 0, 0 } }) {
            const AudioStreamBasicDescription stream { 48000, kAudioFormatLinearPCM, kAudioFormatFlagIsPacked | flag,
                2 * bytes, 1, 2 * bytes, 2, 8 * bytes };
            std::array<std::byte, 8> frame {}; // left, right
            const auto put = [&frame](std::size_t at, auto value) {
                std::memcpy(&frame[at * sizeof value], &value, sizeof value);
            };
            for (const auto& [at, value] : { std::pair<std::size_t, double>(0, left), { 1, right } })
                flag == real ? put(at, float(value))
                             : (bytes == 2 ? put(at, std::int16_t(value)) : put(at, std::int32_t(value)));
            auto writer = test::startedWriter(nextPath(), stream);
            QVERIFY(writer && test::appendOne(*writer, frame.data(), 1, stream, 0));
            writer->markAsFinished();
            writer->finishWriting();
            QCOMPARE(double(writer->takePeak()), peak);
            QCOMPARE(writer->takePeak(), 0.0F);
        }
    }

    // Cut anywhere, a fragmented file keeps its whole fragments or is refused; the repair never crashes.
    // Left as a crash leaves it: what reached the disk reads back.
    void cutFilesAreRepairedOrRefused()
    {
        const Signal signal = makeSignal(48000, 2, 2 * 48000, 5);
        const QString source = nextPath();
        auto writer = test::startedWriter(source, signal.stream);
        QVERIFY(writer);
        feed(*writer, signal, 512);
        QTRY_COMPARE_WITH_TIMEOUT(boxTypes(source).count(QStringLiteral("moof")), 3, 10000);
        writer.reset();
        const QByteArray whole = test::readAll(source);
        std::vector<TopBox> boxes;
        boxTypes(source, &boxes);
        for (const TopBox& box : boxes) {
            for (const qint64 delta : std::array<qint64, 6> { -1, 0, 1, 8, 17, (box.offset - box.end) / 2 }) {
                const qint64 cut = box.end + delta;
                const QString path = nextPath();
                QVERIFY(test::writeFile(path, whole.left(cut)));
                const auto frames = test::kFramesPerFragment // the moof+mdat pairs that lie whole before the cut
                    * std::count_if(boxes.begin(), boxes.end(),
                        [&](const TopBox& other) { return other.type == QStringLiteral("mdat") && other.end <= cut; });
                const auto repaired = flatten(path);
                // Nothing whole to keep: refused as invalid output, the file left as it was.
                qint64 kept = repaired && repaired.value().ordinary ? repaired.value().samples : -1;
                if (const RecorderError* refusal = repaired ? nullptr : repaired.error().recorderError())
                    kept = refusal->kind() == RecorderError::Case::invalidOutput ? 0 : -1;
                QVERIFY2(kept == frames && (frames ? playsAs(path, signal, frames) : QFileInfo(path).size() == cut),
                    QByteArray::number(cut).constData());
            }
        }
        // Stopped between writing the new index and its commit (the old moov's header still in place), the
        // next look commits it; a look at an ordinary file changes nothing.
        const QString path = nextPath();
        QVERIFY(test::writeFile(path, whole) && flatten(path));
        const QByteArray ordinary = test::readAll(path);
        const QByteArray uncommitted = whole.left(boxes[1].offset + 16) + ordinary.mid(boxes[1].offset + 16);
        QVERIFY(test::writeFile(path, uncommitted));
        // Only once the index is surely on the disk: a failed sync leaves the file as it was.
        test::armFileFault(path, { test::FileCall::fdatasync });
        QVERIFY(!flatten(path) && test::readAll(path) == uncommitted);
        test::disarmFileFault();
        for (int look = 0; look < 2; ++look) {
            QVERIFY(flatten(path));
            QCOMPARE(test::readAll(path), ordinary);
        }
    }

    // The disk stalls or fails while audio comes in real time or while finishing: a stall costs nothing; a failure
    // keeps what is proven on the disk (synced fragments only) and its first error; an unreadable file stays as it is.
    void diskFaultsKeepTheAudio_data()
    {
        QTest::addColumn<test::FileFault>("fault");
        QTest::addColumn<QString>("error"); // none: completes
        QTest::addColumn<std::int64_t>("kept"); // -1: unread, left as it is
        using test::FileCall;
        const std::int64_t all = 3 * test::kFramesPerFragment, one = test::kFramesPerFragment;
        QTest::newRow("a sync stalls four times the ring")
            << test::FileFault { FileCall::fdatasync, 0, 0, 1, std::chrono::seconds(2) } << QString() << all;
        QTest::newRow("the second sync fails") << test::FileFault { FileCall::fdatasync, EIO, 1 }
                                               << "写入文件失败：" + SystemErrorText::describe(EIO) << one;
        // Noise does not compress: 1.5 seconds of it are far more than 256 KiB.
        QTest::newRow("the disk fills") << test::FileFault { FileCall::close, 0, 0, 0 }
                                        << "写入文件失败：" + SystemErrorText::describe(ENOSPC) << one;
        QTest::newRow("close fails after the conversion") << test::FileFault { FileCall::close } << QString() << all;
        QTest::newRow("the conversion's read fails, after three while recording") << test::FileFault { FileCall::pread,
            EIO, 3 } << "无法读取录音文件：" + SystemErrorText::describe(EIO) << all;
        QTest::newRow("no read succeeds") << test::FileFault { FileCall::pread, EIO, 3, -1 }
                                          << "无法读取录音文件：" + SystemErrorText::describe(EIO) << std::int64_t(-1);
    }
    void diskFaultsKeepTheAudio()
    {
        QFETCH(test::FileFault, fault);
        QFETCH(QString, error);
        QFETCH(std::int64_t, kept);
        const test::ScopedTmpfs disk(
            m_dir.filePath(QStringLiteral("disk")), test::ScopedTmpfs::Access::readWrite, "size=256k");
        const bool full = error.endsWith(SystemErrorText::describe(ENOSPC));
        if (full && !disk.isMounted())
            QSKIP("no small tmpfs here");
        const Signal signal = makeSignal(48000, 2, 3 * test::kFramesPerFragment, 3);
        const QString path = full ? m_dir.filePath(QStringLiteral("disk/full.mp4")) : nextPath();
        auto writer = test::startedWriter(path, signal.stream, 24000 * signal.stream.mBytesPerFrame); // 0.5 s
        QVERIFY(writer);
        test::armFileFault(path, fault);
        feed(*writer, signal, 1024, std::chrono::microseconds(1024 * 1000000 / 48000));
        writer->markAsFinished();
        writer->finishWriting();
        test::disarmFileFault();
        QCOMPARE(writer->error(), error.isEmpty() ? std::nullopt : std::optional(error));
        QCOMPARE(writer->hasPlayableFile(), kept >= 0);
        QVERIFY(kept >= 0 ? playsAs(path, signal, kept) : !writer->holdsNoAudio() && QFileInfo(path).size() > 0);
    }

    // Crafted indexes are refused before they cost memory or overflow; sizes past 32 bits stay whole.
    void craftedIndexes()
    {
        using namespace mp4;
        const auto box
            = [](std::uint32_t type, std::initializer_list<std::uint32_t> words, std::vector<Bytes> in = {}) {
                  Bytes payload;
                  for (const std::uint32_t word : words)
                      put32(payload, word);
                  for (const Bytes& child : in)
                      payload.insert(payload.end(), child.begin(), child.end());
                  return makeBox(type, payload);
              };
        // Two runs over the same 1000 bytes of an mdat: a lie that would grow the table with the mdat, run by run.
        const Bytes run = box(kTrun, { 1, 1000, 72 + 8 }); // data offset: past the moof and the mdat's header
        const Bytes moof = box(kMoof, {}, { box(kTraf, {}, { box(kTfhd, { 0, 1 }), run, run }) });
        Mp4SampleTable table;
        QVERIFY(!addFragment(
            moof, { kMoof, 0, 72, 8 }, { kMdat, 72, 1008, 8 }, { {}, 8, 1, 48000, 48000, 4096, 1 }, table));
        // A timing table whose one entry, count times delta, passes 63 bits.
        const std::uint32_t most = 0xFFFFFFFF;
        const Bytes stbl = box(kStbl, {},
            { box(kStsd, {}), box(kStts, { 0, 1, most, most }), box(kStsc, { 0, 1, 1, most, 1 }),
                box(kStsz, { 0, 1, most }), box(kStco, { 0, 1, 16 }) });
        const Bytes trak = box(kTrak, {},
            { box(kTkhd, { 0, 0, 0, 1 }),
                box(kMdia, {}, { box(kMdhd, { 0, 0, 0, 48000, 0 }), box(kMinf, {}, { stbl }) }) });
        QVERIFY(!describedAudio(
            box(kMoov, {}, { box(kMvhd, { 0, 0, 0, 48000, 0 }), trak }), 8, 16, 16 + std::int64_t(most)));
        Bytes header;
        putBoxHeader(header, kMdat, std::uint64_t(1) << 32);
        QCOMPARE(header, Bytes({ 0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 1, 0, 0, 0, 16 }));
    }

private:
    QString nextPath() { return m_dir.filePath(QStringLiteral("%1.mp4").arg(++m_files)); }
    QTemporaryDir m_dir;
    int m_files = 0;
};

QTEST_GUILESS_MAIN(TestFfmpegMediaWriter)
#include "tst_ffmpegmediawriter.moc"
