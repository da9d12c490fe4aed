#pragma once

#include "media/MediaAsset.h"
#include "media/MediaAssetOpener.h"
#include "media/MediaWriter.h"
#include "media/MediaWriterFactory.h"

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
    // Whether a failed writer still leaves a valid file.
    bool keepsFileOnFailure = false;
    // Run inside createWriter and finishWriting, on the thread that calls them.
    std::function<void()> onCreate;
    std::function<void()> onFinish;

    QList<std::int64_t> presentationFrames;
    QList<std::uint32_t> frameCounts;
    std::optional<AudioOutputSettings> settings;
    QList<QString> paths;
};

class FakeMediaWriterFactory final : public MediaWriterFactory {
public:
    explicit FakeMediaWriterFactory(std::shared_ptr<FakeMediaScript> script)
        : m_script(std::move(script))
    { }
    std::int32_t makeFormatDescription(
        const AudioStreamBasicDescription& stream, std::optional<AudioFormatDescription>* description) const override;
    Result<std::unique_ptr<MediaWriter>> createWriter(const QString& path) const override;

private:
    std::shared_ptr<FakeMediaScript> m_script;
};

// An asset that answers what the test says.
struct FakeAssetScript {
    Result<QList<MediaAsset::TrackID>> tracks = QList<MediaAsset::TrackID> { 0 };
    Result<QList<std::uint32_t>> subtypes = QList<std::uint32_t> { 0x616C6163 };
    Result<MediaTime> duration = MediaTime { 48000, 48000, true };
};

class FakeMediaAssetOpener final : public MediaAssetOpener {
public:
    explicit FakeMediaAssetOpener(std::shared_ptr<FakeAssetScript> script)
        : m_script(std::move(script))
    { }
    std::unique_ptr<MediaAsset> open(const QString& path) const override;

private:
    std::shared_ptr<FakeAssetScript> m_script;
};

} // namespace vessaro::test
