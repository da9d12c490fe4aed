#pragma once

#include "capture/hal/AudioHardware.h"

#include <memory>

namespace vessaro {

// The audio hardware of the platform this build targets (PulseAudio, which
// also serves PipeWire, on Linux). Any thread.
std::unique_ptr<AudioHardware> makePlatformAudioHardware();

} // namespace vessaro
