#pragma once

#include "media/MediaAsset.h"

#include <QString>

#include <memory>

namespace vessaro {

// Opens assets: the entry point of a media reading backend. Any thread.
class MediaAssetOpener {
public:
    virtual ~MediaAssetOpener() = default;
    // Opening never fails by itself: errors surface at the first load.
    virtual std::unique_ptr<MediaAsset> open(const QString& path) const = 0;
};

} // namespace vessaro
