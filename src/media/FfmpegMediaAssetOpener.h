#pragma once

#include "media/MediaAssetOpener.h"

namespace vessaro {

// Opens FfmpegMediaAssets. Any thread.
class FfmpegMediaAssetOpener final : public MediaAssetOpener {
public:
    std::unique_ptr<MediaAsset> open(const QString& path) const override;
};

} // namespace vessaro
