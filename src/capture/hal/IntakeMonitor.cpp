#include "capture/hal/IntakeMonitor.h"

namespace vessaro {
namespace {

// Frames received may trail the time that passed by this much before audio
// counts as lost: the server's buffering and scheduling, and clock drift.
constexpr double lossToleranceSeconds = 0.25;
constexpr double lossToleranceOfElapsed = 0.002;

} // namespace

IntakeMonitor::IntakeMonitor(std::uint32_t framesPerSecond, std::uint32_t bytesPerFrame)
    : m_framesPerSecond(framesPerSecond)
    , m_bytesPerFrame(bytesPerFrame)
{ }

void IntakeMonitor::restart()
{
    m_flowing = false;
    m_behind = false;
    m_since.reset();
}

std::optional<std::uint64_t> IntakeMonitor::look(std::uint64_t bytesReceived, Clock::time_point now)
{
    if (m_reported)
        return std::nullopt;
    const double receivedFrames = static_cast<double>(bytesReceived) / m_bytesPerFrame;
    if (!m_since) {
        // Measured from the second look at a delivering stream: the first
        // delivery may carry what the server gathered while starting.
        if (bytesReceived == 0)
            return std::nullopt;
        if (!m_flowing) {
            m_flowing = true;
            return std::nullopt;
        }
        m_since = now;
        m_baseFrames = receivedFrames;
        return std::nullopt;
    }
    const double elapsedSeconds = std::chrono::duration<double>(now - *m_since).count();
    const double missingFrames = m_baseFrames + elapsedSeconds * m_framesPerSecond - receivedFrames;
    const double toleranceFrames = m_framesPerSecond * (lossToleranceSeconds + lossToleranceOfElapsed * elapsedSeconds);
    const bool behind = missingFrames > toleranceFrames;
    const bool confirmed = behind && m_behind;
    m_behind = behind;
    if (!confirmed)
        return std::nullopt;
    m_reported = true;
    return static_cast<std::uint64_t>(missingFrames * m_bytesPerFrame);
}

} // namespace vessaro
