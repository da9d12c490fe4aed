#pragma once

#include "capture/AudioCaptureDriver.h"

#include <memory>

namespace vessaro::test {

// Passes every call to the driver it wraps, for tests to override the moment
// they need: a fault or a cancellation no hardware shows. Same threads as the
// wrapped driver.
class ForwardingDriver : public AudioCaptureDriver {
public:
    explicit ForwardingDriver(std::unique_ptr<AudioCaptureDriver> inner)
        : m_inner(std::move(inner))
    { }
    AudioStreamBasicDescription format() const override { return m_inner->format(); }
    Diagnostics diagnostics() const override { return m_inner->diagnostics(); }
    Result<void> prepare() override { return m_inner->prepare(); }
    Result<void> start(ReceiveCallback receive, LossCallback loss, EventCallback events) override
    {
        return m_inner->start(std::move(receive), std::move(loss), std::move(events));
    }
    Result<void> stop() override { return m_inner->stop(); }

private:
    std::unique_ptr<AudioCaptureDriver> m_inner;
};

} // namespace vessaro::test
