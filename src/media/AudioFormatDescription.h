#pragma once

#include "base/AudioStreamBasicDescription.h"

namespace vessaro {

// An interleaved linear-PCM stream description that the media layer accepted.
// Immutable once made; any thread may read it.
struct AudioFormatDescription {
    AudioStreamBasicDescription stream;
};

} // namespace vessaro
