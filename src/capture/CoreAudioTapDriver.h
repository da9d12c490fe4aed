#pragma once

#include "capture/AudioCaptureDriver.h"
#include "capture/hal/AudioHardware.h"

#include <memory>
#include <optional>

namespace vessaro {

// Captures the mix of every program, or of one, through a process tap wrapped in a
// private aggregate device, over the platform calls of AudioHardware.
// One thread at a time (the capture service's executor); the callbacks run on
// the hardware's audio queue. Destroying the driver stops it.
class CoreAudioTapDriver final : public AudioCaptureDriver {
public:
    // The reverse-DNS prefix of the device uid.
    static constexpr const char* applicationPrefix = "org.vessaro.";

    // Without hardware, the platform's own (PulseAudio on Linux).
    explicit CoreAudioTapDriver(std::unique_ptr<AudioHardware> hardware = nullptr);
    ~CoreAudioTapDriver() override;
    CoreAudioTapDriver(const CoreAudioTapDriver&) = delete;
    CoreAudioTapDriver& operator=(const CoreAudioTapDriver&) = delete;

    AudioStreamBasicDescription format() const override { return m_format; }
    Diagnostics diagnostics() const override;

    Result<void> prepare(const CaptureTarget& target) override;
    Result<std::vector<PlayingProgram>> playingPrograms() override;
    Result<void> start(ReceiveCallback receive, LossCallback lossNotice, EventCallback events) override;
    Result<void> stop() override;
    bool holdsCallbacks() const override { return m_io.has_value(); }

private:
    std::unique_ptr<AudioHardware> m_hardware;
    AudioObjectID m_tap = 0;
    AudioObjectID m_device = 0;
    std::optional<AudioDeviceIOProcID> m_io;
    bool m_running = false;
    AudioStreamBasicDescription m_format;
    CaptureTarget m_target; // of the last prepare
};

} // namespace vessaro
