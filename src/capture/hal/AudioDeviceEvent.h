#pragma once

namespace vessaro {

// What happened to a running device that its input alone does not show. The
// stream goes on into the same IO proc after the first two; after the last,
// no more input comes. On PulseAudio the output is the default sink and the
// server is the PulseAudio or pipewire-pulse daemon.
enum class AudioDeviceEvent {
    // The output whose mix is captured changed, and capture followed it.
    followedOutput,
    // The audio server went away and capture reconnected to it.
    reconnected,
    // The audio server went away and did not come back in time.
    serverLost,
};

} // namespace vessaro
