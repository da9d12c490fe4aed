#include "media/FfmpegMediaAsset.h"
#include "media/FfmpegMediaWriter.h"
#include "media/FfmpegMediaWriterFactory.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include <sys/mount.h>

using namespace vessaro;

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
    std::vector<std::int64_t> packetDurations;
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
    Decoded d{context->sample_rate, stream->duration, stream->time_base, {}, {}};
    d.samples.resize(static_cast<std::size_t>(context->ch_layout.nb_channels));
    std::unique_ptr<AVPacket, Freer<av_packet_free>> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, Freer<av_frame_free>> frame(av_frame_alloc());
    for (bool more = true; more;) {
        more = av_read_frame(input.get(), packet.get()) >= 0;
        if (more)
            d.packetDurations.push_back(packet->duration);
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

std::unique_ptr<MediaWriter> startedWriter(const QString& path, const Stream& stream, int bitDepthHint = 24,
                                           std::size_t ringBytes = 0)
{
    const FfmpegMediaWriterFactory factory(ringBytes);
    std::optional<AudioFormatDescription> description;
    auto created = factory.createWriter(path);
    if (!created || factory.makeFormatDescription(stream, &description) != 0)
        return nullptr;
    std::unique_ptr<MediaWriter> writer = std::move(created).value();
    writer->addInput({kAudioFormatAppleLossless, stream.mSampleRate, int(stream.mChannelsPerFrame), bitDepthHint},
                     *description);
    if (!writer->startWriting())
        return nullptr;
    writer->startSessionAtZero();
    return writer;
}

// The audio thread's sequence for one buffer. True when the writer took it.
bool appendOne(MediaWriter& writer, const std::byte* data, std::uint32_t frames, const Stream& stream, std::int64_t at)
{
    AudioBufferList list{1, {{stream.mChannelsPerFrame, frames * stream.mBytesPerFrame, const_cast<std::byte*>(data)}}};
    return writer.createSampleBuffer(frames, at) == 0 && writer.copyIntoSampleBuffer(&list) == 0
        && writer.isReadyForMoreMediaData() && writer.appendSampleBuffer();
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

} // namespace

class TestFfmpegMediaWriter : public QObject {
    Q_OBJECT

private Q_SLOTS:
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
        QTest::newRow("float32 stereo 48 kHz, 512") << RoundTrip{SampleKind::float32, 48000, 2, 24, 512, 100000};
        QTest::newRow("float32 stereo 44.1 kHz, 480") << RoundTrip{SampleKind::float32, 44100, 2, 24, 480, 88201};
        QTest::newRow("int16 stereo 48 kHz, 331") << RoundTrip{SampleKind::int16, 48000, 2, 24, 331, 50000};
        QTest::newRow("int32 24-bit content 96 kHz, 512") << RoundTrip{SampleKind::int32, 96000, 2, 24, 512, 100001};
        QTest::newRow("float32 mono 48 kHz, 4097") << RoundTrip{SampleKind::float32, 48000, 1, 24, 4097, 40000};
        QTest::newRow("int16 six channels, 16-bit hint, 1") << RoundTrip{SampleKind::int16, 48000, 6, 16, 1, 9000};
        QTest::newRow("float32 eight channels, 512") << RoundTrip{SampleKind::float32, 48000, 8, 24, 512, 20000};
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
        QCOMPARE(QFile::permissions(path), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        const Decoded decoded = decodeFile(path);
        QCOMPARE(decoded.sampleRate, rate);
        QCOMPARE(decoded.timeBase.num, 1);
        QCOMPARE(decoded.timeBase.den, rate);
        QCOMPARE(decoded.streamDuration, frames);
        // Full 4096-sample packets, then one shorter.
        QVERIFY(!decoded.packetDurations.empty() && decoded.packetDurations.back() < 4096);
        for (std::size_t i = 0; i + 1 < decoded.packetDurations.size(); ++i)
            QCOMPARE(decoded.packetDurations[i], 4096);
        QCOMPARE(decoded.samples.size(), std::size_t(channels));
        for (std::size_t c = 0; c < decoded.samples.size(); ++c) {
            const auto& got = decoded.samples[c];
            QCOMPARE(got.size(), std::size_t(frames));
            const auto [bad, want] = std::mismatch(got.begin(), got.end(), signal.expected[c].begin());
            if (bad != got.end())
                QFAIL(qPrintable(QStringLiteral("channel %1 frame %2: %3 instead of %4")
                                     .arg(c).arg(bad - got.begin()).arg(*bad).arg(*want)));
        }
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
        const auto& first = signal.expected[1];
        QCOMPARE(decodeFile(path).samples[1], std::vector(first.begin(), first.begin() + 1000));
    }
    void uncreatableOutputIsPlatformError()
    {
        QFile blocker(nextPath());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        auto writer = FfmpegMediaWriterFactory().createWriter(blocker.fileName() + QStringLiteral("/recording.mp4"));
        QVERIFY(!writer);
        const PlatformError* error = writer.error().platformError();
        QVERIFY(error && !error->localizedDescription().isEmpty());
        QCOMPARE(error->source(), PlatformError::Source::fileSystem);
        QCOMPARE(error->code(), ENOTDIR);
    }
    void diskFullFailsTheWriter()
    {
        QTemporaryDir disk;
        const QByteArray mountPoint = QFile::encodeName(disk.path());
        // mount(2) itself, not the mount program: forking from a threaded test trips ThreadSanitizer.
        if (::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=256k") != 0)
            QSKIP(qPrintable(QStringLiteral("no small tmpfs here: ") + QString::fromLocal8Bit(strerror(errno))));
        auto unmount = qScopeGuard([&] { ::umount2(mountPoint.constData(), MNT_DETACH); });
        // Noise does not compress: three seconds of it are far more than 256 KiB.
        const auto stream = makeStream(SampleKind::float32, 48000, 2);
        auto writer = startedWriter(QFile::decodeName(mountPoint + "/full.mp4"), stream);
        QVERIFY(writer);
        const Signal signal = makeSignal(SampleKind::float32, 2, 3 * 48000, 24, 11);
        feed(*writer, signal.bytes, stream, 512);
        // The encoder thread meets the full disk on its own, before anyone finishes.
        const auto diskFull = std::optional<QString>(QStringLiteral("写入文件失败：No space left on device"));
        QTRY_COMPARE_WITH_TIMEOUT(writer->status(), MediaWriter::Status::failed, 60000);
        QCOMPARE(writer->error(), diskFull);
        QVERIFY(!appendOne(*writer, signal.bytes.data(), 512, stream, 0));
        writer->markAsFinished();
        writer->finishWriting();
        QCOMPARE(writer->status(), MediaWriter::Status::failed);
        QCOMPARE(writer->error(), diskFull);
    }
    void destroyingAWritingWriterLeavesTheFile()
    {
        const auto stream = makeStream(SampleKind::int16, 48000, 2);
        const QString path = nextPath();
        auto writer = startedWriter(path, stream);
        QVERIFY(writer);
        feed(*writer, makeSignal(SampleKind::int16, 2, 20000, 24, 9).bytes, stream, 480);
        writer.reset();  // joins the encoder thread; finishes nothing
        // The caller removes the file. Without a trailer it has no index and is not readable media.
        QVERIFY(QFile::exists(path));
        QVERIFY(!FfmpegMediaAsset(path).loadAudioTracks());
    }

private:
    QString nextPath() { return m_dir.filePath(QStringLiteral("%1.mp4").arg(++m_files)); }
    QTemporaryDir m_dir;
    int m_files = 0;
    std::vector<std::byte> m_bytes = std::vector<std::byte>(4096);
};

QTEST_GUILESS_MAIN(TestFfmpegMediaWriter)
#include "tst_ffmpegmediawriter.moc"
