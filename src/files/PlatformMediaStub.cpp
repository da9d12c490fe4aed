#include "media/PlatformMedia.h"

// Temporary until the FFmpeg backends land.
namespace vessaro::PlatformMedia {
std::shared_ptr<const MediaWriterFactory> writerFactory() { return nullptr; }
std::shared_ptr<const MediaAssetOpener> assetOpener() { return nullptr; }
} // namespace vessaro::PlatformMedia
