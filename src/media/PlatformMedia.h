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

// Caps any one allocation of FFmpeg's. A hostile file of a few kilobytes can
// declare tables that the demuxer would allocate a gigabyte for; our largest
// real need (a five-hour index) is a few megabytes. Main thread, at start-up,
// before any other thread exists.
void limitAllocations();

} // namespace vessaro::PlatformMedia
