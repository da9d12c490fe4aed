#include "media/FfmpegMediaAsset.h"
#include "media/FfmpegMediaWriter.h"
#include "media/FfmpegMediaWriterFactory.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include <sys/mount.h>
#include <sys/stat.h>

using namespace vessaro;

namespace {

enum class SampleKind { float32, int16, int32 };

AudioStreamBasicDescription makeStream(SampleKind kind, double rate, std::uint32_t channels)
{
    AudioStreamBasicDescription stream;
    stream.mSampleRate = rate;
    stream.mFormatID = kAudioFormatLinearPCM;
    const std::uint32_t bits = kind == SampleKind::int16 ? 16 : 32;
    stream.mFormatFlags = kAudioFormatFlagIsPacked
        | (kind == SampleKind::float32 ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger);
    stream.mBitsPerChannel = bits;
    stream.mChannelsPerFrame = channels;
    stream.mBytesPerFrame = channels * bits / 8;
    stream.mBytesPerPacket = stream.mBytesPerFrame;
    stream.mFramesPerPacket = 1;
    return stream;
}

AudioOutputSettings alacSettings(const AudioStreamBasicDescription& stream, int bitDepthHint = 24)
{
    return {kAudioFormatAppleLossless, stream.mSampleRate, static_cast<int>(stream.mChannelsPerFrame), bitDepthHint};
}

// Interleaved source bytes and, per channel, the sample values the file must
// decode to (24-bit values for a 24-bit hint, 16-bit values for a 16-bit one).
struct Signal {
    std::vector<std::byte> bytes;
    std::vector<std::vector<std::int32_t>> expected;
};

Signal makeSignal(SampleKind kind, std::uint32_t channels, std::size_t frames, int bitDepthHint, std::uint32_t seed)
{
    std::mt19937 random(seed);
    Signal signal;
    signal.expected.assign(channels, std::vector<std::int32_t>(frames));
    const std::size_t bytesPerSample = kind == SampleKind::int16 ? 2 : 4;
    signal.bytes.resize(frames * channels * bytesPerSample);
    std::uniform_int_distribution<std::int32_t> value24(-(1 << 23), (1 << 23) - 1);
    std::uniform_int_distribution<int> value16(-32768, 32767);
    std::uniform_int_distribution<int> lowByte(0, 255);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        for (std::uint32_t channel = 0; channel < channels; ++channel) {
            const std::size_t index = frame * channels + channel;
            std::byte* target = signal.bytes.data() + index * bytesPerSample;
            std::int32_t expected = 0;
            switch (kind) {
            case SampleKind::float32: {
                // 24-bit values, exact in a float, with the range edges and
                // out-of-range samples that must clamp now and then.
                std::int32_t v = value24(random);
                float sample = static_cast<float>(v) / 8388608.0F;
                switch (frame % 1000) {
                case 1: sample = 1.0F; v = (1 << 23) - 1; break;
                case 2: sample = -1.0F; v = -(1 << 23); break;
                case 3: sample = 1.5F; v = (1 << 23) - 1; break;
                case 4: sample = -7.0F; v = -(1 << 23); break;
                default: break;
                }
                std::memcpy(target, &sample, sizeof sample);
                expected = v;
                break;
            }
            case SampleKind::int16: {
                const auto sample = static_cast<std::int16_t>(value16(random));
                std::memcpy(target, &sample, sizeof sample);
                expected = std::int32_t{sample} * 256;
                break;
            }
            case SampleKind::int32: {
                // 24-bit content in the top bits; the low byte is noise the file drops.
                const std::int32_t v = value24(random);
                const std::int32_t sample = v * 256 + lowByte(random);
                std::memcpy(target, &sample, sizeof sample);
                expected = v;
                break;
            }
            }
            signal.expected[channel][frame] = bitDepthHint == 16 ? expected >> 8 : expected;
        }
    }
    return signal;
}

struct Decoded {
    int sampleRate = 0;
    int channels = 0;
    int bitsPerRawSample = 0;
    std::int64_t streamDuration = 0;
    AVRational timeBase{0, 1};
    std::vector<std::int64_t> packetDurations;
    std::vector<std::vector<std::int32_t>> samples;  // 24-bit values, or 16-bit ones for a 16-bit file
    QString error;
};

// Reads the whole file back with libavformat and libavcodec.
Decoded decodeFile(const QString& path)
{
    Decoded decoded;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, QFile::encodeName(path).constData(), nullptr, nullptr) < 0) {
        decoded.error = QStringLiteral("open failed");
        return decoded;
    }
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> inputOwner(
        input, [](AVFormatContext* c) { avformat_close_input(&c); });
    avformat_find_stream_info(input, nullptr);
    if (input->nb_streams != 1 || input->streams[0]->codecpar->codec_id != AV_CODEC_ID_ALAC) {
        decoded.error = QStringLiteral("not one ALAC stream");
        return decoded;
    }
    AVStream* stream = input->streams[0];
    decoded.timeBase = stream->time_base;
    decoded.streamDuration = stream->duration;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_ALAC);
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> context(
        avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
    avcodec_parameters_to_context(context.get(), stream->codecpar);
    if (avcodec_open2(context.get(), codec, nullptr) < 0) {
        decoded.error = QStringLiteral("decoder failed");
        return decoded;
    }
    decoded.sampleRate = context->sample_rate;
    decoded.channels = context->ch_layout.nb_channels;
    decoded.bitsPerRawSample = stream->codecpar->bits_per_raw_sample;
    decoded.samples.resize(static_cast<std::size_t>(decoded.channels));
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
    auto receive = [&] {
        while (avcodec_receive_frame(context.get(), frame.get()) >= 0) {
            for (int c = 0; c < decoded.channels; ++c) {
                for (int i = 0; i < frame->nb_samples; ++i) {
                    std::int32_t value = 0;
                    if (frame->format == AV_SAMPLE_FMT_S32P)
                        value = reinterpret_cast<const std::int32_t*>(frame->extended_data[c])[i] >> 8;
                    else if (frame->format == AV_SAMPLE_FMT_S16P)
                        value = reinterpret_cast<const std::int16_t*>(frame->extended_data[c])[i];
                    decoded.samples[static_cast<std::size_t>(c)].push_back(value);
                }
            }
        }
    };
    while (av_read_frame(input, packet.get()) >= 0) {
        decoded.packetDurations.push_back(packet->duration);
        avcodec_send_packet(context.get(), packet.get());
        av_packet_unref(packet.get());
        receive();
    }
    avcodec_send_packet(context.get(), nullptr);
    receive();
    return decoded;
}

std::unique_ptr<FfmpegMediaWriter> startedWriter(const FfmpegMediaWriterFactory& factory, const QString& path,
                                                 const AudioStreamBasicDescription& stream, int bitDepthHint = 24)
{
    std::optional<AudioFormatDescription> description;
    if (factory.makeFormatDescription(stream, &description) != 0 || !description)
        return nullptr;
    auto created = factory.createWriter(path);
    if (!created)
        return nullptr;
    std::unique_ptr<FfmpegMediaWriter> writer(dynamic_cast<FfmpegMediaWriter*>(created.value().release()));
    const AudioOutputSettings settings = alacSettings(stream, bitDepthHint);
    if (!writer || !writer->canApplyOutputSettings(settings) || !writer->canAddInput())
        return nullptr;
    writer->addInput(settings, *description);
    if (!writer->startWriting())
        return nullptr;
    writer->startSessionAtZero();
    return writer;
}

// The audio thread's sequence for one buffer. True when the writer took it.
bool appendOne(MediaWriter& writer, const std::byte* data, std::uint32_t frames, std::uint32_t bytesPerFrame,
               std::uint32_t channels, std::int64_t presentationFrame)
{
    AudioBufferList list;
    list.mNumberBuffers = 1;
    list.mBuffers[0].mNumberChannels = channels;
    list.mBuffers[0].mDataByteSize = frames * bytesPerFrame;
    list.mBuffers[0].mData = const_cast<std::byte*>(data);
    if (writer.createSampleBuffer(frames, presentationFrame) != 0)
        return false;
    if (writer.copyIntoSampleBuffer(&list) != 0)
        return false;
    if (!writer.isReadyForMoreMediaData())
        return false;
    return writer.appendSampleBuffer();
}

// Feeds `bytes` in buffers of `bufferFrames` from a thread of its own, like
// the audio thread, and returns the frames the writer took.
std::int64_t feed(MediaWriter& writer, const std::vector<std::byte>& bytes, const AudioStreamBasicDescription& stream,
                  std::uint32_t bufferFrames)
{
    std::int64_t accepted = 0;
    std::thread audio([&] {
        const std::size_t totalFrames = bytes.size() / stream.mBytesPerFrame;
        std::size_t frame = 0;
        while (frame < totalFrames) {
            const auto frames = static_cast<std::uint32_t>(std::min<std::size_t>(bufferFrames, totalFrames - frame));
            if (!appendOne(writer, bytes.data() + frame * stream.mBytesPerFrame, frames, stream.mBytesPerFrame,
                           stream.mChannelsPerFrame, accepted))
                return;
            accepted += frames;
            frame += frames;
        }
    });
    audio.join();  // the hand-over: no append runs after this
    return accepted;
}

} // namespace

class TestFfmpegMediaWriter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void makeFormatDescription_data();
    void makeFormatDescription();
    void outputSettings_data();
    void outputSettings();
    void roundTrip_data();
    void roundTrip();
    void malformedBufferListsAreRejected_data();
    void malformedBufferListsAreRejected();
    void ringHoldsFiveSeconds();
    void fullRingRefusesWithoutPublishing();
    void uncreatableOutputIsPlatformError();
    void diskFullFailsTheWriter();
    void mismatchedInputDoesNotStart_data();
    void mismatchedInputDoesNotStart();
    void cancelAbandonsTheFile();
    void destroyingAWritingWriterLeavesTheFile();

private:
    QTemporaryDir m_dir;
    int m_files = 0;
};

void TestFfmpegMediaWriter::makeFormatDescription_data()
{
    QTest::addColumn<AudioStreamBasicDescription>("stream");
    QTest::addColumn<bool>("accepted");
    const auto floatStereo = makeStream(SampleKind::float32, 48000, 2);
    QTest::newRow("float32 stereo") << floatStereo << true;
    QTest::newRow("int16 stereo") << makeStream(SampleKind::int16, 44100, 2) << true;
    QTest::newRow("int32 mono") << makeStream(SampleKind::int32, 96000, 1) << true;
    QTest::newRow("eight channels") << makeStream(SampleKind::float32, 48000, 8) << true;
    QTest::newRow("all zeros, as on a fresh driver") << AudioStreamBasicDescription{} << false;
    auto s = floatStereo;
    s.mFormatID = kAudioFormatAppleLossless;
    QTest::newRow("not linear PCM") << s << false;
    s = floatStereo;
    s.mFormatFlags |= kAudioFormatFlagIsBigEndian;
    QTest::newRow("big-endian") << s << false;
    s = floatStereo;
    s.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    QTest::newRow("non-interleaved") << s << false;
    s = floatStereo;
    s.mFormatFlags &= ~kAudioFormatFlagIsPacked;
    QTest::newRow("not packed") << s << false;
    s = floatStereo;
    s.mBitsPerChannel = 64;
    s.mBytesPerFrame = 16;
    QTest::newRow("float64") << s << false;
    s = makeStream(SampleKind::int16, 48000, 2);
    s.mBitsPerChannel = 24;
    s.mBytesPerFrame = 6;
    QTest::newRow("packed 24-bit integers") << s << false;
    s = makeStream(SampleKind::int16, 48000, 2);
    s.mFormatFlags = kAudioFormatFlagIsPacked;
    QTest::newRow("unsigned integers") << s << false;
    s = floatStereo;
    s.mBytesPerFrame = 4;
    QTest::newRow("bytes per frame mismatch") << s << false;
    QTest::newRow("no channels") << makeStream(SampleKind::float32, 48000, 0) << false;
    QTest::newRow("nine channels") << makeStream(SampleKind::float32, 48000, 9) << false;
    QTest::newRow("rate NaN") << makeStream(SampleKind::float32, std::nan(""), 2) << false;
    QTest::newRow("rate infinite") << makeStream(SampleKind::float32, HUGE_VAL, 2) << false;
    QTest::newRow("rate zero") << makeStream(SampleKind::float32, 0, 2) << false;
    QTest::newRow("rate negative") << makeStream(SampleKind::float32, -48000, 2) << false;
    QTest::newRow("rate beyond 32 bits") << makeStream(SampleKind::float32, 2147483648.0, 2) << false;
}

void TestFfmpegMediaWriter::makeFormatDescription()
{
    QFETCH(AudioStreamBasicDescription, stream);
    QFETCH(bool, accepted);
    FfmpegMediaWriterFactory factory;
    std::optional<AudioFormatDescription> description = AudioFormatDescription{};
    const std::int32_t status = factory.makeFormatDescription(stream, &description);
    if (accepted) {
        QCOMPARE(status, 0);
        QVERIFY(description);
        QCOMPARE(description->stream, stream);
    } else {
        QCOMPARE(status, -22);
        QVERIFY(!description);
    }
}

void TestFfmpegMediaWriter::outputSettings_data()
{
    QTest::addColumn<AudioOutputSettings>("settings");
    QTest::addColumn<bool>("applicable");
    const AudioOutputSettings base{kAudioFormatAppleLossless, 48000, 2, 24};
    QTest::newRow("alac 48 kHz stereo 24") << base << true;
    auto s = base;
    s.encoderBitDepthHint = 16;
    QTest::newRow("16-bit hint") << s << true;
    s = base;
    s.encoderBitDepthHint = 32;
    QTest::newRow("32-bit hint") << s << false;
    s = base;
    s.formatID = kAudioFormatLinearPCM;
    QTest::newRow("not alac") << s << false;
    s = base;
    s.numberOfChannels = 9;
    QTest::newRow("nine channels") << s << false;
    s = base;
    s.numberOfChannels = 0;
    QTest::newRow("no channels") << s << false;
    s = base;
    s.sampleRate = 0;
    QTest::newRow("rate zero") << s << false;
    s = base;
    s.sampleRate = 44100.5;
    QTest::newRow("fractional rate") << s << false;
}

void TestFfmpegMediaWriter::outputSettings()
{
    QFETCH(AudioOutputSettings, settings);
    QFETCH(bool, applicable);
    auto writer = FfmpegMediaWriterFactory().createWriter(m_dir.filePath(QStringLiteral("settings.mp4")));
    QVERIFY(writer);
    QCOMPARE(writer.value()->canApplyOutputSettings(settings), applicable);
}

void TestFfmpegMediaWriter::roundTrip_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("bitDepthHint");
    QTest::addColumn<int>("bufferFrames");
    QTest::addColumn<int>("totalFrames");
    QTest::newRow("float32 stereo 48 kHz, 512") << int(SampleKind::float32) << 48000.0 << 2 << 24 << 512 << 100000;
    QTest::newRow("float32 stereo 44.1 kHz, 480") << int(SampleKind::float32) << 44100.0 << 2 << 24 << 480 << 88201;
    QTest::newRow("int16 stereo 48 kHz, 331") << int(SampleKind::int16) << 48000.0 << 2 << 24 << 331 << 50000;
    QTest::newRow("int32 24-bit content 96 kHz, 512") << int(SampleKind::int32) << 96000.0 << 2 << 24 << 512 << 100001;
    QTest::newRow("float32 mono 48 kHz, 4097") << int(SampleKind::float32) << 48000.0 << 1 << 24 << 4097 << 40000;
    QTest::newRow("int16 six channels, 16-bit hint, 1") << int(SampleKind::int16) << 48000.0 << 6 << 16 << 1 << 9000;
}

void TestFfmpegMediaWriter::roundTrip()
{
    QFETCH(int, kind);
    QFETCH(double, rate);
    QFETCH(int, channels);
    QFETCH(int, bitDepthHint);
    QFETCH(int, bufferFrames);
    QFETCH(int, totalFrames);
    const auto stream = makeStream(SampleKind(kind), rate, static_cast<std::uint32_t>(channels));
    const Signal signal = makeSignal(SampleKind(kind), stream.mChannelsPerFrame, static_cast<std::size_t>(totalFrames),
                                     bitDepthHint, static_cast<std::uint32_t>(totalFrames));
    const QString path = m_dir.filePath(QStringLiteral("roundtrip-%1.mp4").arg(++m_files));

    FfmpegMediaWriterFactory factory;
    auto writer = startedWriter(factory, path, stream, bitDepthHint);
    QVERIFY(writer);
    QCOMPARE(writer->status(), MediaWriter::Status::writing);
    QCOMPARE(feed(*writer, signal.bytes, stream, static_cast<std::uint32_t>(bufferFrames)), std::int64_t{totalFrames});
    writer->markAsFinished();
    writer->finishWriting();
    QCOMPARE(writer->status(), MediaWriter::Status::completed);
    QVERIFY(!writer->error());
    QCOMPARE(writer->refusedSampleBuffers(), std::uint64_t{0});

    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777U, 0600U);

    const Decoded decoded = decodeFile(path);
    QVERIFY2(decoded.error.isEmpty(), qPrintable(decoded.error));
    QCOMPARE(decoded.sampleRate, static_cast<int>(rate));
    QCOMPARE(decoded.channels, channels);
    QCOMPARE(decoded.timeBase.num, 1);
    QCOMPARE(decoded.timeBase.den, static_cast<int>(rate));
    QCOMPARE(decoded.streamDuration, std::int64_t{totalFrames});
    // Full 4096-sample packets, then one shorter.
    QVERIFY(!decoded.packetDurations.empty());
    for (std::size_t i = 0; i + 1 < decoded.packetDurations.size(); ++i)
        QCOMPARE(decoded.packetDurations[i], std::int64_t{4096});
    QVERIFY(decoded.packetDurations.back() < 4096);
    for (std::size_t c = 0; c < decoded.samples.size(); ++c) {
        QCOMPARE(decoded.samples[c].size(), static_cast<std::size_t>(totalFrames));
        for (std::size_t i = 0; i < decoded.samples[c].size(); ++i) {
            if (decoded.samples[c][i] != signal.expected[c][i])
                QFAIL(qPrintable(QStringLiteral("channel %1 frame %2: %3 instead of %4")
                                     .arg(c).arg(i).arg(decoded.samples[c][i]).arg(signal.expected[c][i])));
        }
    }

    // The reader gives the same duration, exactly.
    FfmpegMediaAsset asset(path);
    const Result<MediaTime> duration = asset.loadDuration();
    QVERIFY(duration);
    QVERIFY(duration.value().isValid);
    QCOMPARE(duration.value().value * static_cast<std::int64_t>(rate),
             std::int64_t{totalFrames} * duration.value().timescale);
}

void TestFfmpegMediaWriter::malformedBufferListsAreRejected_data()
{
    QTest::addColumn<int>("buffers");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("byteSize");
    QTest::addColumn<bool>("nullData");
    QTest::newRow("two buffers") << 2 << 2 << 4096 << false;
    QTest::newRow("no buffers") << 0 << 2 << 4096 << false;
    QTest::newRow("channel count differs") << 1 << 1 << 4096 << false;
    QTest::newRow("too few bytes") << 1 << 2 << 4088 << false;
    QTest::newRow("no data") << 1 << 2 << 4096 << true;
}

void TestFfmpegMediaWriter::malformedBufferListsAreRejected()
{
    QFETCH(int, buffers);
    QFETCH(int, channels);
    QFETCH(int, byteSize);
    QFETCH(bool, nullData);
    const auto stream = makeStream(SampleKind::float32, 48000, 2);
    FfmpegMediaWriterFactory factory;
    auto writer = startedWriter(factory, m_dir.filePath(QStringLiteral("malformed.mp4")), stream);
    QVERIFY(writer);
    std::vector<std::byte> bytes(4096);
    AudioBufferList list;
    list.mNumberBuffers = static_cast<std::uint32_t>(buffers);
    list.mBuffers[0] = {static_cast<std::uint32_t>(channels), static_cast<std::uint32_t>(byteSize),
                        nullData ? nullptr : bytes.data()};
    QCOMPARE(writer->createSampleBuffer(512, 0), 0);
    QCOMPARE(writer->copyIntoSampleBuffer(&list), -22);
    QVERIFY(!writer->appendSampleBuffer());
    writer->cancelWriting();
}

void TestFfmpegMediaWriter::ringHoldsFiveSeconds()
{
    // One refusal ends a recording, so a stall of the encoder thread up to
    // five seconds must not cause one: five seconds go in at once.
    const auto stream = makeStream(SampleKind::float32, 48000, 2);
    FfmpegMediaWriterFactory factory;
    const QString path = m_dir.filePath(QStringLiteral("five.mp4"));
    auto writer = startedWriter(factory, path, stream);
    QVERIFY(writer);
    const std::size_t frames = 5 * 48000;
    QVERIFY(writer->ringCapacityBytes() >= frames * stream.mBytesPerFrame);
    const Signal signal = makeSignal(SampleKind::float32, 2, frames, 24, 5);
    QCOMPARE(feed(*writer, signal.bytes, stream, static_cast<std::uint32_t>(frames)), std::int64_t(frames));
    writer->markAsFinished();
    writer->finishWriting();
    QCOMPARE(writer->status(), MediaWriter::Status::completed);
    QCOMPARE(decodeFile(path).streamDuration, std::int64_t(frames));
}

void TestFfmpegMediaWriter::fullRingRefusesWithoutPublishing()
{
    const auto stream = makeStream(SampleKind::int16, 48000, 2);
    FfmpegMediaWriterFactory factory(16384);
    const QString path = m_dir.filePath(QStringLiteral("refused.mp4"));
    auto writer = startedWriter(factory, path, stream);
    QVERIFY(writer);
    QCOMPARE(writer->ringCapacityBytes(), std::size_t{16384});
    const Signal signal = makeSignal(SampleKind::int16, 2, 8192, 24, 7);

    QVERIFY(appendOne(*writer, signal.bytes.data(), 1000, 4, 2, 0));
    // A buffer larger than the whole ring can never fit, however fast the encoder drains.
    QCOMPARE(writer->createSampleBuffer(8192, 1000), 0);
    AudioBufferList list;
    list.mNumberBuffers = 1;
    list.mBuffers[0] = {2, 8192 * 4, const_cast<std::byte*>(signal.bytes.data())};
    QCOMPARE(writer->copyIntoSampleBuffer(&list), 0);
    QVERIFY(!writer->isReadyForMoreMediaData());
    QVERIFY(!writer->appendSampleBuffer());
    QCOMPARE(writer->refusedSampleBuffers(), std::uint64_t{1});
    QCOMPARE(writer->status(), MediaWriter::Status::writing);

    writer->markAsFinished();
    writer->finishWriting();
    QCOMPARE(writer->status(), MediaWriter::Status::completed);
    // Only the first buffer reached the file.
    const Decoded decoded = decodeFile(path);
    QCOMPARE(decoded.streamDuration, std::int64_t{1000});
    QCOMPARE(decoded.samples[0].size(), std::size_t{1000});
    QCOMPARE(decoded.samples[1][999], signal.expected[1][999]);
}

void TestFfmpegMediaWriter::uncreatableOutputIsPlatformError()
{
    const QString blocker = m_dir.filePath(QStringLiteral("regular-file"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    auto writer = FfmpegMediaWriterFactory().createWriter(blocker + QStringLiteral("/recording.mp4"));
    QVERIFY(!writer);
    const PlatformError* error = writer.error().platformError();
    QVERIFY(error);
    QCOMPARE(error->source(), PlatformError::Source::fileSystem);
    QCOMPARE(error->code(), ENOTDIR);
    QVERIFY(!error->localizedDescription().isEmpty());
}

void TestFfmpegMediaWriter::diskFullFailsTheWriter()
{
    const QString mountPoint = m_dir.filePath(QStringLiteral("tiny-disk"));
    QVERIFY(QDir().mkpath(mountPoint));
    // mount(2) itself, not the mount program: forking from a threaded test trips ThreadSanitizer.
    if (::mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, "size=256k") != 0)
        QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs here: %1").arg(QString::fromLocal8Bit(std::strerror(errno)))));
    auto unmount = qScopeGuard([&] { ::umount2(QFile::encodeName(mountPoint).constData(), MNT_DETACH); });

    // Noise does not compress: three seconds of it are far more than 256 KiB.
    const auto stream = makeStream(SampleKind::float32, 48000, 2);
    FfmpegMediaWriterFactory factory;
    auto writer = startedWriter(factory, mountPoint + QStringLiteral("/full.mp4"), stream);
    QVERIFY(writer);
    const Signal signal = makeSignal(SampleKind::float32, 2, 3 * 48000, 24, 11);
    feed(*writer, signal.bytes, stream, 512);
    // The encoder thread meets the full disk on its own, before anyone finishes.
    QTRY_COMPARE_WITH_TIMEOUT(writer->status(), MediaWriter::Status::failed, 60000);
    QVERIFY(!writer->isReadyForMoreMediaData());
    QCOMPARE(writer->error(), std::optional<QString>(QStringLiteral("写入文件失败：No space left on device")));
    QVERIFY(!appendOne(*writer, signal.bytes.data(), 512, 8, 2, 0));
    writer->markAsFinished();
    writer->finishWriting();
    QCOMPARE(writer->status(), MediaWriter::Status::failed);
    QCOMPARE(writer->error(), std::optional<QString>(QStringLiteral("写入文件失败：No space left on device")));
}

void TestFfmpegMediaWriter::mismatchedInputDoesNotStart_data()
{
    QTest::addColumn<AudioStreamBasicDescription>("stream");
    QTest::addColumn<AudioOutputSettings>("settings");
    const auto stream = makeStream(SampleKind::float32, 48000, 2);
    QTest::newRow("other rate") << stream << AudioOutputSettings{kAudioFormatAppleLossless, 44100, 2, 24};
    QTest::newRow("other channel count") << stream << AudioOutputSettings{kAudioFormatAppleLossless, 48000, 1, 24};
    auto packed24 = stream;
    packed24.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    packed24.mBitsPerChannel = 24;
    packed24.mBytesPerFrame = 6;
    QTest::newRow("source format not made by the factory") << packed24 << alacSettings(stream);
}

void TestFfmpegMediaWriter::mismatchedInputDoesNotStart()
{
    QFETCH(AudioStreamBasicDescription, stream);
    QFETCH(AudioOutputSettings, settings);
    auto created = FfmpegMediaWriterFactory().createWriter(m_dir.filePath(QStringLiteral("mismatch.mp4")));
    QVERIFY(created);
    MediaWriter& writer = *created.value();
    QVERIFY(writer.canAddInput());
    writer.addInput(settings, AudioFormatDescription{stream});
    QVERIFY(!writer.canAddInput());
    QVERIFY(!writer.startWriting());
    QCOMPARE(writer.status(), MediaWriter::Status::failed);
    QVERIFY(writer.error());
    QVERIFY(!writer.error()->isEmpty());
    QVERIFY(writer.createSampleBuffer(512, 0) != 0);
    QVERIFY(!writer.isReadyForMoreMediaData());
}

void TestFfmpegMediaWriter::cancelAbandonsTheFile()
{
    const auto stream = makeStream(SampleKind::float32, 48000, 2);
    FfmpegMediaWriterFactory factory;
    const QString path = m_dir.filePath(QStringLiteral("cancelled.mp4"));
    auto writer = startedWriter(factory, path, stream);
    QVERIFY(writer);
    const Signal signal = makeSignal(SampleKind::float32, 2, 20000, 24, 3);
    feed(*writer, signal.bytes, stream, 512);
    writer->cancelWriting();
    QCOMPARE(writer->status(), MediaWriter::Status::cancelled);
    QVERIFY(!writer->error());
    QVERIFY(!writer->isReadyForMoreMediaData());
    // The caller removes the file; the writer leaves it behind.
    QVERIFY(QFile::exists(path));
}

void TestFfmpegMediaWriter::destroyingAWritingWriterLeavesTheFile()
{
    const auto stream = makeStream(SampleKind::int16, 48000, 2);
    FfmpegMediaWriterFactory factory;
    const QString path = m_dir.filePath(QStringLiteral("dropped.mp4"));
    auto writer = startedWriter(factory, path, stream);
    QVERIFY(writer);
    const Signal signal = makeSignal(SampleKind::int16, 2, 20000, 24, 9);
    feed(*writer, signal.bytes, stream, 480);
    writer.reset();  // joins the encoder thread; finishes nothing
    QVERIFY(QFile::exists(path));
    // Without a trailer the file has no index and is not readable media.
    FfmpegMediaAsset asset(path);
    QVERIFY(!asset.loadAudioTracks());
}

QTEST_GUILESS_MAIN(TestFfmpegMediaWriter)
#include "tst_ffmpegmediawriter.moc"
