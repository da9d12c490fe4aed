#pragma once

#include "base/PlatformError.h"
#include "media/FfmpegHandles.h"
#include "media/MediaAsset.h"

#include <QString>

#include <optional>

namespace vessaro {

// A media file read through libavformat. The file is opened and probed at
// the first load; an open or probe failure is the PlatformError of its
// AVERROR, returned by every load. One thread at a time.
class FfmpegMediaAsset final : public MediaAsset {
public:
    explicit FfmpegMediaAsset(QString path);

    // Stream indexes of the audio streams, in stream order.
    Result<QList<TrackID>> loadAudioTracks() override;
    // One subtype: the sample entry's four-character code, big-endian
    // ('alac' = 0x616C6163), or one derived from the codec when the file has none.
    Result<QList<std::uint32_t>> loadFormatDescriptionSubtypes(TrackID track) override;
    // The longest stream duration in its own time base, else the container's
    // duration in microseconds, else an invalid time.
    Result<MediaTime> loadDuration() override;

private:
    std::optional<PlatformError> open();

    QString m_path;
    ffmpeg::InputContextPtr m_input;
    std::optional<PlatformError> m_openError;
};

} // namespace vessaro
