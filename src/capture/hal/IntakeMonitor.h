#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace vessaro {

// Tells audio the server dropped without a word: the bytes a stream delivered
// must keep up with the time that passed. What is missing beyond a tolerance,
// on two looks in a row (so that a backlog still being read after a hold-up
// does not count), is lost. The stream's own latency figures are not used:
// both servers report them too unevenly for this.
//
// A value: it reads no clock and touches no server. The supervisor keeps one
// per run, on its own thread.
class IntakeMonitor {
public:
    using Clock = std::chrono::steady_clock;

    IntakeMonitor(std::uint32_t framesPerSecond, std::uint32_t bytesPerFrame);

    // A look at `bytesReceived`, all that the current stream delivered, at
    // `now`: the bytes lost when this look confirms a loss. Reports once; after
    // that, nothing.
    std::optional<std::uint64_t> look(std::uint64_t bytesReceived, Clock::time_point now);
    // A new stream that counts from zero: measure it afresh. A loss already
    // reported stays reported.
    void restart();

private:
    double m_framesPerSecond;
    double m_bytesPerFrame;
    bool m_flowing = false;
    bool m_behind = false;
    bool m_reported = false;
    // When the measure began, and the frames received then.
    std::optional<Clock::time_point> m_since;
    double m_baseFrames = 0;
};

} // namespace vessaro
