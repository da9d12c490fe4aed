#include "capture/AudioSampleWriter.h"

#include "base/Platform.h"
#include "files/RecordingFile.h"
#include "media/PlatformMedia.h"

#include <cmath>
#include <cstring>

namespace vessaro {
namespace {

// Why the intake ended when the writer has no error of its own.
QString fellBehind()
{
    return QStringLiteral("磁盘写入跟不上录音，已停止接收以避免静默丢帧。");
}

// Why the intake ended when the server dropped audio of ours.
QString serverDropped()
{
    return QStringLiteral("声音服务丢掉了一段音频，已停止接收以避免静默丢帧。");
}

// The smallest float sample that the file's 24 bits do not round to zero.
constexpr float smallestAudibleFloat = 0.5f / 8388608.0f;

} // namespace

Result<std::shared_ptr<AudioSampleWriter>> AudioSampleWriter::create(
    const AudioStreamBasicDescription& format, std::shared_ptr<const MediaWriterFactory> writers)
{
    if (!writers)
        writers = PlatformMedia::writerFactory();

    std::optional<AudioFormatDescription> description;
    const std::int32_t status = writers->makeFormatDescription(format, &description);
    if (status != 0 || !description)
        return RecorderError::captureFailed(QStringLiteral("读取音频格式"), status);

    auto file = RecordingFile::createTemporaryFile();
    if (!file)
        return file.error();
    const QString path = file.value().path;
    auto created = writers->createWriter(path);
    if (!created) {
        (void)Platform::removeItem(path);
        return created.error();
    }
    std::unique_ptr<MediaWriter> writer = std::move(created).value();

    AudioOutputSettings settings = RecordingFile::alacSettings();
    settings.sampleRate = format.mSampleRate;
    settings.numberOfChannels = static_cast<int>(format.mChannelsPerFrame);
    if (!writer->canApplyOutputSettings(settings))
        return RecorderError::writerStartFailed(QStringLiteral("音频设备的格式不能编码为 ALAC。"));
    if (!writer->canAddInput())
        return RecorderError::writerStartFailed(QStringLiteral("无法添加音频轨道。"));
    writer->addInput(settings, *description);
    if (!writer->startWriting())
        return RecorderError::writerStartFailed(writer->error().value_or(QStringLiteral("未知错误")));
    writer->startSessionAtZero();

    auto made = std::make_shared<AudioSampleWriter>(Key {}, path, std::move(writer), format);
    made->m_lock = std::move(file.value().lock);
    return made;
}

RecorderError AudioSampleWriter::keptAt(const Error& failure, const QString& path)
{
    const RecorderError* own = failure.recorderError();
    const QString reason
        = own && own->kind() == RecorderError::Case::writerAppendFailed ? own->text() : failure.localizedDescription();
    return RecorderError::writerAppendFailed(QStringLiteral("%1（录音文件保留在 %2）").arg(reason, path));
}

AudioSampleWriter::AudioSampleWriter(
    Key, QString path, std::unique_ptr<MediaWriter> writer, AudioStreamBasicDescription format)
    : m_path(std::move(path))
    , m_writer(std::move(writer))
    , m_format(format)
{ }

// Releasing without finish or discard frees memory only: the file stays.
AudioSampleWriter::~AudioSampleWriter() = default;

void AudioSampleWriter::fail(RecorderError error)
{
    // The first failure is kept, never replaced.
    if (m_failure)
        return;
    m_failure = std::move(error);
    m_intakeEnded.store(true, std::memory_order_release);
}

bool AudioSampleWriter::holdsSound(const AudioBufferList& list, std::uint32_t frameCount) const
{
    // Audio thread. Once a sound was heard no buffer is looked at again, so a
    // recording with sound pays for its first non-zero sample only.
    const AudioBuffer& buffer = list.mBuffers[0];
    const std::size_t bytes = std::size_t { frameCount } * m_format.mBytesPerFrame;
    const auto* data = static_cast<const unsigned char*>(buffer.mData);
    if ((m_format.mFormatFlags & kAudioFormatFlagIsFloat) != 0 && m_format.mBitsPerChannel == 32) {
        for (std::size_t offset = 0; offset + sizeof(float) <= bytes; offset += sizeof(float)) {
            float sample = 0;
            std::memcpy(&sample, data + offset, sizeof sample);
            if (std::fabs(sample) > smallestAudibleFloat)
                return true;
        }
        return false;
    }
    for (std::size_t offset = 0; offset < bytes; ++offset)
        if (data[offset] != 0)
            return true;
    return false;
}

void AudioSampleWriter::append(const AudioBufferList* list)
{
    if (m_failure)
        return;
    const std::uint32_t bytesPerFrame = m_format.mBytesPerFrame;
    if (bytesPerFrame == 0)
        return;
    if (!list || list->mNumberBuffers == 0 || !list->mBuffers[0].mData)
        return;
    // Only the first buffer's size counts; a partial frame is dropped.
    const std::uint32_t frameCount = list->mBuffers[0].mDataByteSize / bytesPerFrame;
    if (frameCount == 0)
        return;

    const std::int64_t frames = m_frames.load(std::memory_order_relaxed);
    if (std::int32_t status = m_writer->createSampleBuffer(frameCount, frames); status != 0) {
        fail(RecorderError::captureFailed(QStringLiteral("创建音频缓冲"), status));
        return;
    }
    if (std::int32_t status = m_writer->copyIntoSampleBuffer(list); status != 0) {
        fail(RecorderError::captureFailed(QStringLiteral("复制音频缓冲"), status));
        return;
    }
    // Back-pressure: never wait and never retry. One refusal ends the intake.
    if (m_writer->isReadyForMoreMediaData() && m_writer->appendSampleBuffer()) {
        if (!m_heardSound.load(std::memory_order_relaxed) && holdsSound(*list, frameCount))
            m_heardSound.store(true, std::memory_order_relaxed);
        m_frames.store(frames + frameCount, std::memory_order_relaxed);
        return;
    }
    fail(RecorderError::writerAppendFailed(m_writer->error().value_or(fellBehind())));
}

void AudioSampleWriter::noteLoss(std::uint64_t)
{
    fail(RecorderError::writerAppendFailed(serverDropped()));
}

std::optional<RecorderError> AudioSampleWriter::interruption() const
{
    if (m_intakeEnded.load(std::memory_order_acquire))
        return m_failure;
    // The encoder failed (a full disk): the next buffer will be refused.
    if (m_writer->status() == MediaWriter::Status::failed)
        return RecorderError::writerAppendFailed(m_writer->error().value_or(fellBehind()));
    return std::nullopt;
}

double AudioSampleWriter::capturedSeconds() const
{
    if (m_format.mSampleRate <= 0)
        return 0;
    return static_cast<double>(m_frames.load(std::memory_order_relaxed)) / m_format.mSampleRate;
}

Result<QString> AudioSampleWriter::finish()
{
    FinishedWriting finished = finishKeepingAudio();
    if (finished.kept)
        m_lock = std::move(finished.kept->lock);
    if (!finished.failure)
        return m_path;
    // A take cut short is no whole take, but its audio stays where it is.
    if (finished.kept)
        return keptAt(*finished.failure, m_path);
    return *finished.failure;
}

FinishedWriting AudioSampleWriter::finishKeepingAudio()
{
    if (m_frames <= 0) {
        discard();
        return { m_failure ? Error(*m_failure) : Error(RecorderError::noAudioReceived()), std::nullopt };
    }
    // After a refusal or a loss the writer still holds every sample before
    // it, gap-free; after a write error it keeps the whole fragments.
    m_writer->markAsFinished();
    m_writer->finishWriting();
    FinishedWriting finished;
    if (m_failure)
        finished.failure = *m_failure;
    else if (m_writer->status() != MediaWriter::Status::completed)
        finished.failure = RecorderError::writerAppendFailed(m_writer->error().value_or(QStringLiteral("封装失败")));
    if (m_writer->hasPlayableFile()) {
        finished.kept = LockedRecordingFile { m_path, std::move(m_lock) };
        return finished;
    }
    if (m_writer->holdsNoAudio()) {
        discard();
        return finished;
    }
    // Unreadable, so unproven either way: the file stays for the repair of
    // leftovers at the next launch, unlocked, and the user learns where.
    finished.failure
        = keptAt(finished.failure.value_or(RecorderError::writerAppendFailed(QStringLiteral("封装失败"))), m_path);
    m_lock.release();
    return finished;
}

void AudioSampleWriter::discard()
{
    if (m_writer->status() == MediaWriter::Status::writing)
        m_writer->cancelWriting();
    (void)Platform::removeItem(m_path);
    // Only once the file is gone: no other process may take it meanwhile.
    m_lock.release();
}

} // namespace vessaro
