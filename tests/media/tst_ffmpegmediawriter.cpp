#include "base/FileDescriptor.h"
#include "media/FfmpegMediaAsset.h"
#include "media/FfmpegMediaWriter.h"
#include "media/FfmpegMediaWriterFactory.h"
#include "media/Mp4Flattener.h"
#include "support/ScopedTmpfs.h"
#include "support/TestSupport.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <QFile>
#include <QtEndian>
#include <QTemporaryDir>
#include <QTest>

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
    struct stat info {};
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

struct RoundTrip { SampleKind kind; int rate; std::uint32_t channels; int hint; std::int64_t bufferFrames, frames; };

Stream makeStream(SampleKind kind, double rate, std::uint32_t channels)
{
    const std::uint32_t bits = kind == SampleKind::int16 ? 16 : 32;
    const std::uint32_t type = kind == SampleKind::float32 ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger;
    return {rate, kAudioFormatLinearPCM, kAudioFormatFlagIsPacked | type, channels * bits / 8, 1, channels * bits / 8,
            channels, bits};
}

template <typename T, typename Change>
T with(T value, Change change)
{
    change(value);
    return value;
}

// Interleaved source bytes and, per channel, the values the file must decode
// to: 24-bit ones, or 16-bit ones for a 16-bit hint.
struct Signal {
    std::vector<std::byte> bytes;
    std::vector<std::vector<std::int32_t>> expected;  // [channel][frame]
};

Signal makeSignal(SampleKind kind, std::uint32_t channels, std::size_t frames, int bitDepthHint, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::int32_t> value24(-(1 << 23), (1 << 23) - 1);
    const std::size_t size = kind == SampleKind::int16 ? 2 : 4;
    Signal signal{std::vector<std::byte>(frames * channels * size),
                  std::vector<std::vector<std::int32_t>>(channels, std::vector<std::int32_t>(frames))};
    for (std::size_t i = 0; i < frames * channels; ++i) {
        std::int32_t v = value24(random);
        std::int32_t sample = v * 256 + static_cast<std::int32_t>(random() & 0xFFU);  // the file drops the low byte
        if (kind == SampleKind::int16) {
            sample = v >> 8;
            v = sample * 256;
        } else if (kind == SampleKind::float32) {
            // Exact in a float; now and then the range edges and samples beyond them, which clamp.
            float f = static_cast<float>(v) / 8388608.0F;
            if (const std::size_t edge = i / channels % 1000; edge >= 1 && edge <= 4) {
                f = std::array{1.0F, -1.0F, 1.5F, -7.0F}[edge - 1];
                v = edge % 2 == 1 ? (1 << 23) - 1 : -(1 << 23);
            }
            std::memcpy(&sample, &f, sizeof f);
        }
        const auto le16 = static_cast<std::int16_t>(sample);
        std::memcpy(&signal.bytes[i * size], size == 2 ? static_cast<const void*>(&le16) : &sample, size);
        signal.expected[i % channels][i / channels] = bitDepthHint == 16 ? v >> 8 : v;
    }
    return signal;
}

// Owns an FFmpeg object through its free function, which takes the pointer's address.
template <auto release>
struct Freer {
    void operator()(auto* p) const { release(&p); }
};

struct Decoded {
    int sampleRate = 0;
    std::int64_t streamDuration = 0;
    AVRational timeBase{0, 1};
    std::vector<std::vector<std::int32_t>> samples;  // per channel: 24-bit values, or 16-bit ones for a 16-bit file
};

// Reads the whole file back with libavformat and libavcodec; no samples unless it holds one ALAC stream.
Decoded decodeFile(const QString& path)
{
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, QFile::encodeName(path).constData(), nullptr, nullptr) < 0)
        return {};
    std::unique_ptr<AVFormatContext, Freer<avformat_close_input>> input(opened);
    if (avformat_find_stream_info(input.get(), nullptr) < 0 || input->nb_streams != 1
        || input->streams[0]->codecpar->codec_id != AV_CODEC_ID_ALAC)
        return {};
    const AVStream* stream = input->streams[0];
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_ALAC);
    std::unique_ptr<AVCodecContext, Freer<avcodec_free_context>> context(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(context.get(), stream->codecpar);
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return {};
    Decoded d{context->sample_rate, stream->duration, stream->time_base, {}};
    d.samples.resize(static_cast<std::size_t>(context->ch_layout.nb_channels));
    std::unique_ptr<AVPacket, Freer<av_packet_free>> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, Freer<av_frame_free>> frame(av_frame_alloc());
    for (bool more = true; more;) {
        more = av_read_frame(input.get(), packet.get()) >= 0;
        avcodec_send_packet(context.get(), more ? packet.get() : nullptr);  // null drains the decoder
        av_packet_unref(packet.get());
        while (avcodec_receive_frame(context.get(), frame.get()) >= 0) {
            for (std::size_t c = 0; c < d.samples.size(); ++c) {
                for (int i = 0; i < frame->nb_samples; ++i)
                    d.samples[c].push_back(frame->format == AV_SAMPLE_FMT_S32P
                                               ? reinterpret_cast<const std::int32_t*>(frame->extended_data[c])[i] >> 8
                                               : reinterpret_cast<const std::int16_t*>(frame->extended_data[c])[i]);
            }
        }
    }
    return d;
}

// Feeds `bytes` in buffers of `bufferFrames` from a thread of its own, like the audio thread, and
// returns the frames the writer took. Joining it is the hand-over: no append runs after.
std::int64_t feed(MediaWriter& writer, const std::vector<std::byte>& bytes, const Stream& stream,
                  std::int64_t bufferFrames)
{
    const auto total = static_cast<std::int64_t>(bytes.size() / stream.mBytesPerFrame);
    std::int64_t done = 0;
    std::thread([&] {
        for (std::int64_t n = 0; done < total; done += n) {
            n = std::min(bufferFrames, total - done);
            if (!appendOne(writer, &bytes[std::size_t(done) * stream.mBytesPerFrame], std::uint32_t(n), stream, done))
                return;
        }
    }).join();
    return done;
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
        boxes.push_back({torn ? QStringLiteral("torn") : QString::fromLatin1(bytes.mid(at + 4, 4)), at, at + size});
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

const QStringList kOrdinary{"ftyp", "mdat", "moov"};

// Frames per closed fragment: whole 4096-frame packets until half a second is reached.
constexpr std::int64_t kFragmentFrames = test::kFramesPerFragment;

Result<Mp4Flattener::Report> flattenFile(const QString& path)
{
    const FileDescriptor fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC));
    return Mp4Flattener::flatten(fd.get());
}

// Whether the file decodes to exactly the first `frames` frames of `signal`, or
// with `orMore` to those and possibly more.
bool decodesToPrefix(const QString& path, const Signal& signal, std::int64_t frames, bool orMore = false)
{
    const Decoded decoded = decodeFile(path);
    if (decoded.samples.size() != signal.expected.size())
        return false;
    for (std::size_t c = 0; c < decoded.samples.size(); ++c) {
        const auto& want = signal.expected[c];
        const auto got = std::int64_t(decoded.samples[c].size());
        if ((orMore ? got < frames : got != frames)
            || !std::equal(want.begin(), want.begin() + frames, decoded.samples[c].begin()))
            return false;
    }
    return true;
}

} // namespace

class TestFfmpegMediaWriter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { av_log_set_level(AV_LOG_QUIET); }  // torn files are read on purpose
    // What the factory makes of a source, whether a writer takes the settings, and whether it then starts:
    // never with a source the factory refuses, nor one that differs from the settings.
    void setup_data()
    {
        QTest::addColumn<Stream>("stream");
        QTest::addColumn<Settings>("settings");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("applicable");
        QTest::addColumn<bool>("starts");
        const Stream f = makeStream(SampleKind::float32, 48000, 2);
        const Stream i = makeStream(SampleKind::int16, 48000, 2);
        const Settings alac{kAudioFormatAppleLossless, 48000, 2, 24};
        const auto refused = [&](const char* name, const Stream& s) {
            QTest::newRow(name) << s << alac << false << true << false;
        };
        const auto output = [&](const char* name, const Settings& o, bool applicable, bool starts) {
            QTest::newRow(name) << f << o << true << applicable << starts;
        };
        QTest::newRow("eight channels") << makeStream(SampleKind::float32, 48000, 8) << alac << true << true << false;
        refused("all zeros, as on a fresh driver", Stream{});
        refused("not linear PCM", with(f, [](Stream& s) { s.mFormatID = kAudioFormatAppleLossless; }));
        refused("big-endian", with(f, [](Stream& s) { s.mFormatFlags |= kAudioFormatFlagIsBigEndian; }));
        refused("non-interleaved", with(f, [](Stream& s) { s.mFormatFlags |= kAudioFormatFlagIsNonInterleaved; }));
        refused("not packed", with(f, [](Stream& s) { s.mFormatFlags &= ~kAudioFormatFlagIsPacked; }));
        refused("float64", with(f, [](Stream& s) { s.mBitsPerChannel = 64; s.mBytesPerFrame = 16; }));
        refused("packed 24-bit integers", with(i, [](Stream& s) { s.mBitsPerChannel = 24; s.mBytesPerFrame = 6; }));
        refused("unsigned integers", with(i, [](Stream& s) { s.mFormatFlags = kAudioFormatFlagIsPacked; }));
        refused("bytes per frame mismatch", with(f, [](Stream& s) { s.mBytesPerFrame = 4; }));
        refused("no channels", makeStream(SampleKind::float32, 48000, 0));
        refused("nine channels", makeStream(SampleKind::float32, 48000, 9));
        for (const double rate : {std::nan(""), HUGE_VAL, 0.0, -48000.0, 2147483648.0})
            refused(QByteArray("rate ").append(QByteArray::number(rate)).constData(),
                    makeStream(SampleKind::float32, rate, 2));
        output("alac 48 kHz stereo 24", alac, true, true);
        output("16-bit hint", with(alac, [](Settings& s) { s.encoderBitDepthHint = 16; }), true, true);
        output("32-bit hint", with(alac, [](Settings& s) { s.encoderBitDepthHint = 32; }), false, false);
        output("not alac", with(alac, [](Settings& s) { s.formatID = kAudioFormatLinearPCM; }), false, false);
        output("nine output channels", with(alac, [](Settings& s) { s.numberOfChannels = 9; }), false, false);
        output("no output channels", with(alac, [](Settings& s) { s.numberOfChannels = 0; }), false, false);
        output("output rate zero", with(alac, [](Settings& s) { s.sampleRate = 0; }), false, false);
        output("fractional output rate", with(alac, [](Settings& s) { s.sampleRate = 44100.5; }), false, false);
        output("other rate than the source", with(alac, [](Settings& s) { s.sampleRate = 44100; }), true, false);
        output("other channel count", with(alac, [](Settings& s) { s.numberOfChannels = 1; }), true, false);
    }
    void setup()
    {
        QFETCH(Stream, stream);
        QFETCH(Settings, settings);
        QFETCH(bool, accepted);
        QFETCH(bool, applicable);
        QFETCH(bool, starts);
        std::optional<AudioFormatDescription> description = AudioFormatDescription{};
        QCOMPARE(FfmpegMediaWriterFactory().makeFormatDescription(stream, &description), accepted ? 0 : -22);
        QCOMPARE(description.has_value(), accepted);
        if (accepted)
            QCOMPARE(description->stream, stream);
        auto created = FfmpegMediaWriterFactory().createWriter(nextPath());
        QVERIFY(created);
        MediaWriter& writer = *created.value();
        QCOMPARE(writer.canApplyOutputSettings(settings), applicable);
        if (!applicable)
            return;
        writer.addInput(settings, AudioFormatDescription{stream});
        QVERIFY(!writer.canAddInput());
        QCOMPARE(writer.startWriting(), starts);
        if (!starts) {
            QVERIFY(writer.status() == MediaWriter::Status::failed && writer.error() && !writer.error()->isEmpty());
            QVERIFY(writer.createSampleBuffer(512, 0) != 0 && !writer.isReadyForMoreMediaData());
        }
    }
    void roundTrip_data()
    {
        QTest::addColumn<RoundTrip>("t");
        QTest::newRow("float32 eight channels, 512") << RoundTrip{SampleKind::float32, 48000, 8, 24, 512, 20000};
        QTest::newRow("int16 six channels, 16-bit hint, 1") << RoundTrip{SampleKind::int16, 48000, 6, 16, 1, 9000};
        QTest::newRow("int32 24-bit content 96 kHz, 512") << RoundTrip{SampleKind::int32, 96000, 2, 24, 512, 100001};
        QTest::newRow("float32 mono 48 kHz, 4097") << RoundTrip{SampleKind::float32, 48000, 1, 24, 4097, 40000};
        // One refusal ends a recording, so the ring must ride out an encoder stall of five seconds.
        QTest::newRow("five seconds in one buffer") << RoundTrip{SampleKind::float32, 48000, 2, 24, 240000, 240000};
    }
    void roundTrip()
    {
        QFETCH(RoundTrip, t);
        const auto [kind, rate, channels, bitDepthHint, bufferFrames, frames] = t;
        const auto stream = makeStream(kind, rate, channels);
        const Signal signal = makeSignal(kind, channels, std::size_t(frames), bitDepthHint, 7);
        const QString path = nextPath();
        auto writer = startedWriter(path, stream, bitDepthHint);
        QVERIFY(writer);
        QCOMPARE(feed(*writer, signal.bytes, stream, bufferFrames), frames);
        writer->markAsFinished();
        writer->finishWriting();
        QCOMPARE(writer->status(), MediaWriter::Status::completed);
        QVERIFY(writer->hasPlayableFile());
        QCOMPARE(QFile::permissions(path), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        // An ordinary file: one moov after the data, no fragment left.
        QCOMPARE(boxTypes(path), kOrdinary);
        const Decoded decoded = decodeFile(path);
        QCOMPARE(decoded.sampleRate, rate);
        QCOMPARE(decoded.timeBase.num * rate, decoded.timeBase.den);
        QCOMPARE(decoded.streamDuration, frames);
        QVERIFY(decodesToPrefix(path, signal, frames));
        // The reader gives the same duration, exactly.
        const Result<MediaTime> duration = FfmpegMediaAsset(path).loadDuration();
        QVERIFY(duration && duration.value().isValid);
        QCOMPARE(duration.value().value * rate, frames * duration.value().timescale);
    }
    void malformedBufferListsAreRejected_data()
    {
        QTest::addColumn<AudioBufferList>("list");  // 512 frames of float stereo are 4096 bytes
        QTest::newRow("two buffers") << AudioBufferList{2, {{2, 4096, m_bytes.data()}}};
        QTest::newRow("no buffers") << AudioBufferList{0, {{2, 4096, m_bytes.data()}}};
        QTest::newRow("channel count differs") << AudioBufferList{1, {{1, 4096, m_bytes.data()}}};
        QTest::newRow("too few bytes") << AudioBufferList{1, {{2, 4088, m_bytes.data()}}};
        QTest::newRow("no data") << AudioBufferList{1, {{2, 4096, nullptr}}};
    }
    void malformedBufferListsAreRejected()
    {
        QFETCH(AudioBufferList, list);
        auto writer = startedWriter(nextPath(), makeStream(SampleKind::float32, 48000, 2));
        QVERIFY(writer);
        QCOMPARE(writer->createSampleBuffer(512, 0), 0);
        QCOMPARE(writer->copyIntoSampleBuffer(&list), -22);
        QVERIFY(!writer->appendSampleBuffer());
        writer->cancelWriting();
        QCOMPARE(writer->status(), MediaWriter::Status::cancelled);
        QVERIFY(!writer->error() && !writer->isReadyForMoreMediaData());
    }
    void fullRingRefusesWithoutPublishing()
    {
        const auto stream = makeStream(SampleKind::int16, 48000, 2);
        const QString path = nextPath();
        auto writer = startedWriter(path, stream, 24, 16384);
        QVERIFY(writer);
        auto& ffmpegWriter = dynamic_cast<FfmpegMediaWriter&>(*writer);
        QCOMPARE(ffmpegWriter.ringCapacityBytes(), std::size_t{16384});
        const Signal signal = makeSignal(SampleKind::int16, 2, 8192, 24, 7);
        QVERIFY(appendOne(*writer, signal.bytes.data(), 1000, stream, 0));
        // A buffer larger than the whole ring never fits, however fast the encoder drains.
        QVERIFY(!appendOne(*writer, signal.bytes.data(), 8192, stream, 1000));
        QVERIFY(!writer->appendSampleBuffer());
        QCOMPARE(ffmpegWriter.refusedSampleBuffers(), std::uint64_t{1});
        QCOMPARE(writer->status(), MediaWriter::Status::writing);
        writer->markAsFinished();
        writer->finishWriting();
        QCOMPARE(writer->status(), MediaWriter::Status::completed);
        QVERIFY(decodesToPrefix(path, signal, 1000));
    }
    void uncreatableOutputIsPlatformError()
    {
        QFile blocker(nextPath());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        auto writer = FfmpegMediaWriterFactory().createWriter(blocker.fileName() + QStringLiteral("/recording.mp4"));
        QVERIFY(!writer && writer.error().platformError());
        QCOMPARE(writer.error().platformError()->source(), PlatformError::Source::fileSystem);
        QCOMPARE(writer.error().platformError()->code(), ENOTDIR);
    }
    // The disk fills mid-recording: the writer fails on its own, and finishing keeps the fragments before.
    void diskFullKeepsTheAudioBeforeIt()
    {
        const test::ScopedTmpfs disk(m_dir.filePath(QStringLiteral("disk")), test::ScopedTmpfs::Access::readWrite,
                                     "size=256k");
        if (!disk.isMounted())
            QSKIP(qPrintable(QStringLiteral("no small tmpfs here: ") + QString::fromLocal8Bit(strerror(errno))));
        // Noise does not compress: three seconds of it are far more than 256 KiB.
        const auto stream = makeStream(SampleKind::float32, 48000, 2);
        const QString path = m_dir.filePath(QStringLiteral("disk/full.mp4"));
        auto writer = startedWriter(path, stream);
        QVERIFY(writer);
        const Signal signal = makeSignal(SampleKind::float32, 2, 3 * 48000, 24, 11);
        feed(*writer, signal.bytes, stream, 512);
        // The encoder thread meets the full disk on its own, before anyone finishes.
        const auto diskFull = std::optional<QString>(QStringLiteral("写入文件失败：No space left on device"));
        QTRY_COMPARE_WITH_TIMEOUT(writer->status(), MediaWriter::Status::failed, 60000);
        QVERIFY(!appendOne(*writer, signal.bytes.data(), 512, stream, 0));
        writer->markAsFinished();
        writer->finishWriting();
        QCOMPARE(writer->status(), MediaWriter::Status::failed);
        QCOMPARE(writer->error(), diskFull);
        QVERIFY(writer->hasPlayableFile());
        QCOMPARE(boxTypes(path), kOrdinary);
        QVERIFY(decodesToPrefix(path, signal, kFragmentFrames));
    }
    // Cut anywhere, a fragmented file keeps its whole fragments or is refused; the repair never crashes.
    // Left as a crash leaves it: what reached the disk reads back.
    void cutFilesAreRepairedOrRefused()
    {
        const auto stream = makeStream(SampleKind::int16, 48000, 2);
        const Signal signal = makeSignal(SampleKind::int16, 2, 2 * 48000, 24, 5);
        const QString source = nextPath();
        auto writer = startedWriter(source, stream);
        QVERIFY(writer);
        feed(*writer, signal.bytes, stream, 512);
        QTRY_COMPARE_WITH_TIMEOUT(boxTypes(source).count(QStringLiteral("moof")), 3, 10000);
        writer.reset();
        const QByteArray whole = readAll(source);
        const std::vector<TopBox> boxes = topLevelBoxes(source);
        // Each fragment was on the disk before the next one began.
        for (const TopBox& box : boxes) {
            const std::lock_guard lock(syncedMutex);
            QVERIFY(box.type != QStringLiteral("mdat") || std::count(syncedSizes.begin(), syncedSizes.end(), box.end));
        }

        std::vector<qint64> cuts;
        for (const TopBox& box : boxes) {
            for (const qint64 delta : {-1, 0, 1, 8, 17})
                cuts.push_back(std::clamp<qint64>(box.end + delta, 0, whole.size()));
        }
        std::mt19937 random(3);
        for (int i = 0; i < 120; ++i)
            cuts.push_back(std::uniform_int_distribution<qint64>(0, whole.size())(random));
        for (const qint64 cut : cuts) {
            const QString path = nextPath();
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(whole.left(cut)) == cut);
            file.close();
            // The moof+mdat pairs that lie whole before the cut.
            const auto fragments = std::count_if(boxes.begin(), boxes.end(), [&](const TopBox& box) {
                return box.type == QStringLiteral("mdat") && box.end <= cut;
            });
            const auto frames = std::int64_t(fragments) * kFragmentFrames;
            const QByteArray at = QByteArray::number(cut);
            // Unrepaired, as a reader finds it: the whole fragments, and whatever whole packets of a torn
            // one. A moof goes out in one write(), so only a power cut or a full disk tears one, and
            // only the repair reads past that.
            const bool inMoof = std::any_of(boxes.begin(), boxes.end(), [&](const TopBox& box) {
                return box.type == QStringLiteral("moof") && box.offset < cut && cut < box.end;
            });
            if (fragments > 0 && !inMoof)
                QVERIFY2(decodesToPrefix(path, signal, frames, true), at.constData());
            const auto repaired = flattenFile(path);
            if (fragments == 0) {
                QVERIFY2(!repaired && repaired.error().recorderError(), at.constData());
                QCOMPARE(repaired.error().recorderError()->kind(), RecorderError::Case::invalidOutput);
                QCOMPARE(QFileInfo(path).size(), cut);
                continue;
            }
            QVERIFY2(repaired && repaired.value().ordinary, at.constData());
            QCOMPARE(repaired.value().samples, frames);
            QCOMPARE(boxTypes(path), kOrdinary);
            QVERIFY2(decodesToPrefix(path, signal, frames), at.constData());
        }
    }
    // The file may not grow when the index is appended (a full disk, here a size limit): the take
    // stays fragmented, whole and valid, and the writer completes.
    void failedConversionKeepsTheFragmentedFile()
    {
        const auto stream = makeStream(SampleKind::float32, 48000, 2);
        const Signal signal = makeSignal(SampleKind::float32, 2, kFragmentFrames, 24, 13);
        const QString path = nextPath();
        auto writer = startedWriter(path, stream);
        QVERIFY(writer);
        feed(*writer, signal.bytes, stream, 512);
        // Exactly one fragment's worth: it is closed while recording, and finishing adds no audio.
        QTRY_COMPARE_WITH_TIMEOUT(boxTypes(path).count(QStringLiteral("moof")), 1, 10000);
        const QByteArray fragmented = readAll(path);
        const auto restoreSignal = std::signal(SIGXFSZ, SIG_IGN);
        rlimit unlimited{};
        ::getrlimit(RLIMIT_FSIZE, &unlimited);
        const rlimit cap{rlim_t(fragmented.size()), unlimited.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &cap);
        writer->markAsFinished();
        writer->finishWriting();
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        std::signal(SIGXFSZ, restoreSignal);
        QCOMPARE(writer->status(), MediaWriter::Status::completed);
        QVERIFY(writer->hasPlayableFile());
        QCOMPARE(readAll(path), fragmented);
        QCOMPARE(FfmpegMediaAsset(path).loadDuration().value().value, kFragmentFrames);
        QVERIFY(decodesToPrefix(path, signal, kFragmentFrames));
        // With room again the same file converts.
        const auto converted = flattenFile(path);
        QVERIFY(converted && converted.value().ordinary);
        QCOMPARE(boxTypes(path), kOrdinary);
        QVERIFY(decodesToPrefix(path, signal, kFragmentFrames));
    }
    // Stopped before the conversion, or between writing the new index and the commit: the file
    // reads in full either way, and the next look makes the very same ordinary file of it, which a
    // further look leaves alone.
    void interruptedConversionIsCompleted()
    {
        const auto stream = makeStream(SampleKind::int16, 44100, 2);
        const Signal signal = makeSignal(SampleKind::int16, 2, 30000, 24, 17);  // a short last packet
        const QString path = nextPath();
        auto writer = startedWriter(path, stream);
        QVERIFY(writer);
        const TopBox moov = topLevelBoxes(path)[1];  // written with the header, before any audio
        const QByteArray moovHeader = readAll(path).mid(moov.offset, 16);
        QCOMPARE(feed(*writer, signal.bytes, stream, 441), 30000);
        writer->markAsFinished();
        writer->finishWriting();
        QCOMPARE(writer->status(), MediaWriter::Status::completed);
        const QByteArray ordinary = readAll(path);
        const qint64 flatMoov = topLevelBoxes(path).back().offset;
        for (const bool indexWritten : {true, false}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(moov.offset) && file.write(moovHeader) == 16);
            QVERIFY(indexWritten || file.resize(flatMoov));
            file.close();
            QVERIFY(boxTypes(path).contains(QStringLiteral("moof")));
            QVERIFY(decodesToPrefix(path, signal, 30000));
            QVERIFY(flattenFile(path));
            QCOMPARE(readAll(path), ordinary);
        }
        QVERIFY(flattenFile(path));
        QCOMPARE(readAll(path), ordinary);
    }

private:
    QString nextPath() { return m_dir.filePath(QStringLiteral("%1.mp4").arg(++m_files)); }
    QTemporaryDir m_dir;
    int m_files = 0;
    std::vector<std::byte> m_bytes = std::vector<std::byte>(4096);
};

QTEST_GUILESS_MAIN(TestFfmpegMediaWriter)
#include "tst_ffmpegmediawriter.moc"
