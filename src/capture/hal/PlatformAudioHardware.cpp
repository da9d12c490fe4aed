#include "capture/hal/PlatformAudioHardware.h"
#include "capture/hal/PulseAudioHardware.h"

namespace vessaro {

std::unique_ptr<AudioHardware> makePlatformAudioHardware()
{
    return std::make_unique<PulseAudioHardware>();
}

} // namespace vessaro
