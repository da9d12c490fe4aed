#include "capture/hal/PlatformAudioHardware.h"
#include "capture/hal/SimulatedAudioHardware.h"

namespace vessaro {

// Temporary until the PulseAudio backend lands.
std::unique_ptr<AudioHardware> makePlatformAudioHardware()
{
    return std::make_unique<SimulatedAudioHardware>();
}

} // namespace vessaro
