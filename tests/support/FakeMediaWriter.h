#pragma once

#include "media/MediaAsset.h"
#include "media/MediaAssetOpener.h"
#include "media/MediaWriter.h"
#include "media/MediaWriterFactory.h"

#include <QFile>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace vessaro::test {

// What a FakeMediaWriter does and what it saw; shared between the test and
// every writer the factory makes. Set it up before the writers run.
struct FakeMediaScript {
    std::optional<QString> writerError;
    std::int32_t createBufferStatus = 0;
    // Buffers accepted before the input reports it is not ready; -1: never.
    int readyFor = -1;
    bool finishCompletes = true;
    // Whether a failed writer still leaves a valid file, and whether the file
    // it leaves otherwise cannot be read (so not proven to hold no audio).
    bool keepsFileOnFailure = false;
    bool unreadable = false;
    // Run inside createWriter and finishWriting, on the thread that calls them.
    std::function<void()> onCreate;
    std::function<void()> onFinish;

    QList<std::int64_t> presentationFrames;
    QList<std::uint32_t> frameCounts;
    std::optional<AudioOutputSettings> settings;
    QList<QString> paths;
};

// Writes nothing: does what the script says and notes what it was given.
class FakeMediaWriter final : public MediaWriter {
public:
    explicit FakeMediaWriter(std::shared_ptr<FakeMediaScript> script)
        : m_script(std::move(script))
    { }

    bool canApplyOutputSettings(const AudioOutputSettings& settings) const override
    {
        m_script->settings = settings;
        return true;
    }
    bool canAddInput() const override { return true; }
    void addInput(const AudioOutputSettings&, const AudioFormatDescription&) override { }
    bool startWriting() override
    {
        m_status = Status::writing;
        return true;
    }
    void startSessionAtZero() override { }

    std::int32_t createSampleBuffer(std::uint32_t frames, std::int64_t presentationFrame) override
    {
        m_pendingFrames = frames;
        m_pendingAt = presentationFrame;
        return m_script->createBufferStatus;
    }
    // The simulated hardware's buffers hold one float throughout: its magnitude is their peak.
    std::int32_t copyIntoSampleBuffer(const AudioBufferList* list) override
    {
        m_peak.store(qAbs(*static_cast<const float*>(list->mBuffers[0].mData)));
        return 0;
    }
    bool isReadyForMoreMediaData() const override
    {
        return m_script->readyFor < 0 || m_script->presentationFrames.size() < m_script->readyFor;
    }
    bool appendSampleBuffer() override
    {
        m_script->presentationFrames.append(m_pendingAt);
        m_script->frameCounts.append(m_pendingFrames);
        return true;
    }
    float takePeak() override { return m_peak.exchange(0); }
    void markAsFinished() override { }
    void finishWriting() override
    {
        if (m_script->onFinish)
            m_script->onFinish();
        m_status = m_script->finishCompletes ? Status::completed : Status::failed;
    }
    void cancelWriting() override { m_status = Status::cancelled; }
    Status status() const override { return m_status; }
    std::optional<QString> error() const override { return m_script->writerError; }
    bool hasPlayableFile() const override
    {
        return m_status == Status::completed || (m_status == Status::failed && m_script->keepsFileOnFailure);
    }
    bool holdsNoAudio() const override
    {
        return m_status == Status::failed && !m_script->keepsFileOnFailure && !m_script->unreadable;
    }

private:
    std::shared_ptr<FakeMediaScript> m_script;
    Status m_status = Status::unknown;
    std::uint32_t m_pendingFrames = 0;
    std::int64_t m_pendingAt = 0;
    std::atomic<float> m_peak { 0 };
};

class FakeMediaWriterFactory final : public MediaWriterFactory {
public:
    explicit FakeMediaWriterFactory(std::shared_ptr<FakeMediaScript> script)
        : m_script(std::move(script))
    { }
    std::int32_t makeFormatDescription(
        const AudioStreamBasicDescription& stream, std::optional<AudioFormatDescription>* description) const override
    {
        // Like the real backend, a description without frames is refused.
        if (stream.mBytesPerFrame == 0 || stream.mChannelsPerFrame == 0)
            return -22;
        *description = AudioFormatDescription { stream };
        return 0;
    }
    Result<std::unique_ptr<MediaWriter>> createWriter(const QString& path) const override
    {
        m_script->paths.append(path);
        if (m_script->onCreate)
            m_script->onCreate();
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write("fake");
        return std::unique_ptr<MediaWriter>(std::make_unique<FakeMediaWriter>(m_script));
    }

private:
    std::shared_ptr<FakeMediaScript> m_script;
};

// An asset that answers what the test says, and the opener that gives it for any path.
struct FakeAssetScript {
    Result<QList<MediaAsset::TrackID>> tracks = QList<MediaAsset::TrackID> { 0 };
    Result<QList<std::uint32_t>> subtypes = QList<std::uint32_t> { 0x616C6163 };
    Result<MediaTime> duration = MediaTime { 48000, 48000, true };
};

class FakeMediaAssetOpener final : public MediaAsset, public MediaAssetOpener {
public:
    explicit FakeMediaAssetOpener(std::shared_ptr<FakeAssetScript> script)
        : m_script(std::move(script))
    { }
    std::unique_ptr<MediaAsset> open(const QString&) const override
    {
        return std::make_unique<FakeMediaAssetOpener>(m_script);
    }
    Result<QList<TrackID>> loadAudioTracks() override { return m_script->tracks; }
    Result<QList<std::uint32_t>> loadFormatDescriptionSubtypes(TrackID) override { return m_script->subtypes; }
    Result<MediaTime> loadDuration() override { return m_script->duration; }

private:
    std::shared_ptr<FakeAssetScript> m_script;
};

} // namespace vessaro::test
