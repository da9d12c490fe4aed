#include "media/FfmpegMediaAssetOpener.h"

#include "media/FfmpegMediaAsset.h"

namespace vessaro {

std::unique_ptr<MediaAsset> FfmpegMediaAssetOpener::open(const QString& path) const
{
    return std::make_unique<FfmpegMediaAsset>(path);
}

} // namespace vessaro
