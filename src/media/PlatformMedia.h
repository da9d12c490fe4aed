#pragma once

#include "media/MediaAssetOpener.h"
#include "media/MediaWriterFactory.h"

#include <memory>

// The media backends of this build (FFmpeg). Any thread.
namespace vessaro::PlatformMedia {

std::shared_ptr<const MediaWriterFactory> writerFactory();
std::shared_ptr<const MediaAssetOpener> assetOpener();

} // namespace vessaro::PlatformMedia
