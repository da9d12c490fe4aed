#include "support/TestSupport.h"

#include "media/FfmpegMediaAsset.h"
#include "media/FfmpegMediaWriterFactory.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <vector>

namespace vessaro::test {

bool runFfmpeg(const QString& arguments, const QString& path)
{
    QProcess process;
    process.start(QStringLiteral("ffmpeg"),
        (QStringLiteral("-nostdin -loglevel error -y ") + arguments).split(QLatin1Char(' ')) << path);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && !process.exitCode();
}

std::unique_ptr<MediaWriter> startedWriter(
    const QString& path, const AudioStreamBasicDescription& stream, std::size_t ringBytes, int bits)
{
    const FfmpegMediaWriterFactory factory(ringBytes);
    std::optional<AudioFormatDescription> description;
    auto created = factory.createWriter(path);
    if (!created || factory.makeFormatDescription(stream, &description) != 0)
        return nullptr;
    std::unique_ptr<MediaWriter> writer = std::move(created).value();
    bits = bits ? bits : std::min(int(stream.mBitsPerChannel), 24);
    writer->addInput(
        { kAudioFormatAppleLossless, stream.mSampleRate, int(stream.mChannelsPerFrame), bits }, *description);
    if (!writer->startWriting())
        return nullptr;
    writer->startSessionAtZero();
    return writer;
}

bool appendOne(MediaWriter& writer, const void* data, std::uint32_t frames, const AudioStreamBasicDescription& stream,
    std::int64_t at)
{
    AudioBufferList list { 1,
        { { stream.mChannelsPerFrame, frames * stream.mBytesPerFrame, const_cast<void*>(data) } } };
    return writer.createSampleBuffer(frames, at) == 0 && writer.copyIntoSampleBuffer(&list) == 0
        && writer.isReadyForMoreMediaData() && writer.appendSampleBuffer();
}

std::int64_t writeRecording(const QString& path, int fragments, bool finish)
{
    const AudioStreamBasicDescription stream { 48000, kAudioFormatLinearPCM,
        kAudioFormatFlagIsPacked | kAudioFormatFlagIsSignedInteger, 4, 1, 4, 2, 16 };
    const std::unique_ptr<MediaWriter> writer = startedWriter(path, stream);
    constexpr std::uint32_t kChunk = 512;
    const std::vector<std::int16_t> silence(2 * kChunk, 0);
    const std::int64_t frames = fragments * kFramesPerFragment;
    for (std::int64_t done = 0; done < frames; done += kChunk) {
        if (!writer || !appendOne(*writer, silence.data(), kChunk, stream, done))
            return -1;
    }
    if (finish) {
        writer->markAsFinished();
        writer->finishWriting();
        return writer->status() == MediaWriter::Status::completed ? frames : -1;
    }
    // The encoder closes the last fragment once it has caught up.
    for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); QThread::msleep(5)) {
        const auto duration = FfmpegMediaAsset(path).loadDuration();
        if (duration && duration.value().value == frames)
            return frames;
    }
    return -1;
}

} // namespace vessaro::test
