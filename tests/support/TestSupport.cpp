#include "support/TestSupport.h"

#include "media/FfmpegMediaAsset.h"
#include "media/FfmpegMediaWriterFactory.h"

#include <QDeadlineTimer>
#include <QThread>
#include <QtGlobal>

#include <algorithm>
#include <vector>

namespace vessaro::test {

ScopedCacheHome::ScopedCacheHome()
    : m_previous(qgetenv("XDG_CACHE_HOME")), m_hadPrevious(qEnvironmentVariableIsSet("XDG_CACHE_HOME"))
{
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_dir.path()));
}

ScopedCacheHome::~ScopedCacheHome()
{
    if (m_hadPrevious)
        qputenv("XDG_CACHE_HOME", m_previous);
    else
        qunsetenv("XDG_CACHE_HOME");
}

bool audioServerAvailable()
{
    return qEnvironmentVariableIsSet("VESSARO_TEST_AUDIO_SERVER");
}

std::int64_t writeUnfinishedRecording(const QString& path, int fragments)
{
    const AudioStreamBasicDescription stream{48000, kAudioFormatLinearPCM,
                                             kAudioFormatFlagIsPacked | kAudioFormatFlagIsSignedInteger, 4, 1, 4, 2, 16};
    auto created = FfmpegMediaWriterFactory().createWriter(path);
    if (!created)
        return -1;
    const std::unique_ptr<MediaWriter> writer = std::move(created).value();
    writer->addInput({kAudioFormatAppleLossless, 48000, 2, 16}, AudioFormatDescription{stream});
    if (!writer->startWriting())
        return -1;
    std::vector<std::int16_t> tone(2 * 480);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>((i * 523) % 20000);
    const std::int64_t frames = fragments * kFramesPerFragment;
    for (std::int64_t done = 0; done < frames;) {
        const auto n = static_cast<std::uint32_t>(std::min<std::int64_t>(480, frames - done));
        AudioBufferList list{1, {{2, n * 4, tone.data()}}};
        if (writer->createSampleBuffer(n, done) != 0 || writer->copyIntoSampleBuffer(&list) != 0
            || !writer->isReadyForMoreMediaData() || !writer->appendSampleBuffer())
            return -1;
        done += n;
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
