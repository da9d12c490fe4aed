#pragma once

#include "capture/CoreAudioTapDriver.h"
#include "capture/SystemAudioCaptureService.h"
#include "support/FakeMediaWriter.h"
#include "support/SimulatedAudioHardware.h"

#include <memory>
#include <vector>

namespace vessaro::test {

// A capture service over the real driver on simulated hardware, writing through fake media. Test thread only.
struct SimulatedCapture {
    SimulatedCapture()
    {
        auto owned = std::make_unique<SimulatedAudioHardware>();
        hardware = owned.get();
        service = std::make_unique<SystemAudioCaptureService>(std::make_unique<CoreAudioTapDriver>(std::move(owned)),
            std::make_shared<FakeMediaWriterFactory>(script), std::make_shared<FakeMediaAssetOpener>(asset));
    }

    // Plays `frames` stereo frames of `sample` into the running device.
    static bool deliver(SimulatedAudioHardware& hardware, std::uint32_t frames, float sample = 0)
    {
        std::vector<float> samples(std::size_t { frames } * 2, sample);
        AudioBufferList list { 1, { { 2, frames * 8, samples.data() } } };
        return hardware.deliver(&list);
    }
    bool deliver(std::uint32_t frames, float sample = 0) const { return deliver(*hardware, frames, sample); }

    std::shared_ptr<FakeMediaScript> script = std::make_shared<FakeMediaScript>();
    std::shared_ptr<FakeAssetScript> asset = std::make_shared<FakeAssetScript>();
    SimulatedAudioHardware* hardware = nullptr;
    std::unique_ptr<SystemAudioCaptureService> service;
};

} // namespace vessaro::test
