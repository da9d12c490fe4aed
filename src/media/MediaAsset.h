#pragma once

#include "base/Result.h"
#include "media/MediaTime.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <memory>

namespace vessaro {

// A finished media file opened for reading, by path. One thread at a time
// (validation runs on a general-purpose thread).
class MediaAsset {
public:
    // A track's identity within the asset.
    using TrackID = int;

    virtual ~MediaAsset() = default;
    // The asset's audio tracks in track order, or the media layer's error.
    virtual Result<QList<TrackID>> loadAudioTracks() = 0;
    // The four-character media subtype of each of the track's format descriptions.
    virtual Result<QList<std::uint32_t>> loadFormatDescriptionSubtypes(TrackID track) = 0;
    virtual Result<MediaTime> loadDuration() = 0;
};

} // namespace vessaro
