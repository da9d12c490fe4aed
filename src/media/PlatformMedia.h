#pragma once

#include "media/MediaAssetOpener.h"
#include "media/MediaWriterFactory.h"

#include <memory>

// The media backends of this build (FFmpeg). Any thread.
namespace vessaro::PlatformMedia {

std::shared_ptr<const MediaWriterFactory> writerFactory();
std::shared_ptr<const MediaAssetOpener> assetOpener();

// Silences FFmpeg's messages, and in release builds Qt's. Main thread, at
// start-up, before any other thread exists.
void silenceLogging();

} // namespace vessaro::PlatformMedia
