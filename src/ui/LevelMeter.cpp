#include "ui/LevelMeter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace vessaro {

int LevelMeter::stepOf(float peak)
{
    // Where each step begins, in dB of full scale.
    static constexpr std::array<double, steps> floors { -48, -30, -18, -6 };
    if (!(peak > 0))
        return 0;
    const double decibels = 20 * std::log10(double { peak });
    return static_cast<int>(
        std::count_if(floors.begin(), floors.end(), [&](double floor) { return decibels >= floor; }));
}

bool LevelMeter::take(float peak)
{
    m_target = stepOf(peak);
    if (m_target < m_shown)
        return false;
    // Up at once; a later fall starts its count afresh.
    m_framesHeld = 0;
    return std::exchange(m_shown, m_target) != m_target;
}

bool LevelMeter::advanceFrame()
{
    if (!isFalling() || ++m_framesHeld < framesPerFallingStep)
        return false;
    m_framesHeld = 0;
    --m_shown;
    return true;
}

void LevelMeter::settle()
{
    m_shown = m_target;
    m_framesHeld = 0;
}

} // namespace vessaro
