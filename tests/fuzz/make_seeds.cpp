// Writes the fuzzers' seeds with the real writer, so they follow its format:
// a take left as a crash leaves it (two whole fragments, never finished) and
// a finished one. Mostly silence, which keeps them a few kilobytes: the
// fuzzer spends its time on the boxes, not on the audio.
// Usage: make_seeds DIRECTORY

#include "base/AudioStreamBasicDescription.h"
#include "media/FfmpegMediaAsset.h"
#include "media/FfmpegMediaWriterFactory.h"
#include "support/TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QString>
#include <QThread>

#include <cstdio>
#include <vector>

using namespace vessaro;

namespace {

// `fragments` fragments of a short quiet tone and silence at `path`; finished
// or left as it is when the writer goes away unfinished.
bool writeRecording(const QString& path, int fragments, bool finish)
{
    const AudioStreamBasicDescription stream{48000, kAudioFormatLinearPCM,
                                             kAudioFormatFlagIsPacked | kAudioFormatFlagIsSignedInteger, 4, 1, 4, 2, 16};
    auto created = FfmpegMediaWriterFactory().createWriter(path);
    if (!created)
        return false;
    const std::unique_ptr<MediaWriter> writer = std::move(created).value();
    writer->addInput({kAudioFormatAppleLossless, 48000, 2, 16}, AudioFormatDescription{stream});
    if (!writer->startWriting())
        return false;
    constexpr std::uint32_t kChunkFrames = 512;
    std::vector<std::int16_t> tone(2 * kChunkFrames);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>(static_cast<int>(i % 16) - 8);
    std::vector<std::int16_t> silence(tone.size(), 0);
    const std::int64_t frames = fragments * test::kFramesPerFragment;
    for (std::int64_t done = 0; done < frames; done += kChunkFrames) {
        AudioBufferList list{1, {{2, kChunkFrames * 4, done < 2048 ? tone.data() : silence.data()}}};
        if (writer->createSampleBuffer(kChunkFrames, done) != 0 || writer->copyIntoSampleBuffer(&list) != 0
            || !writer->isReadyForMoreMediaData() || !writer->appendSampleBuffer())
            return false;
    }
    if (finish) {
        writer->markAsFinished();
        writer->finishWriting();
        return writer->status() == MediaWriter::Status::completed;
    }
    // The encoder closes the last fragment once it has caught up.
    for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); QThread::msleep(5)) {
        const auto duration = FfmpegMediaAsset(path).loadDuration();
        if (duration && duration.value().value == frames)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIRECTORY\n");
        return 2;
    }
    const QString directory = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(directory))
        return 1;
    if (!writeRecording(directory + QStringLiteral("/fragmented.mp4"), 2, false)
        || !writeRecording(directory + QStringLiteral("/finished.mp4"), 1, true)) {
        std::fprintf(stderr, "make_seeds: the writer failed\n");
        return 1;
    }
    return 0;
}
