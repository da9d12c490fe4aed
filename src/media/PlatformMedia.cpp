#include "media/PlatformMedia.h"

#include "media/FfmpegMediaAssetOpener.h"
#include "media/FfmpegMediaWriterFactory.h"

namespace vessaro::PlatformMedia {

std::shared_ptr<const MediaWriterFactory> writerFactory()
{
    return std::make_shared<FfmpegMediaWriterFactory>();
}

std::shared_ptr<const MediaAssetOpener> assetOpener()
{
    return std::make_shared<FfmpegMediaAssetOpener>();
}

} // namespace vessaro::PlatformMedia
