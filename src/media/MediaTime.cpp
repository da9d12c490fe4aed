#include "media/MediaTime.h"

#include <limits>

namespace vessaro {

double MediaTime::seconds() const
{
    if (!isValid || isIndefinite || timescale == 0)
        return std::numeric_limits<double>::quiet_NaN();
    if (isPositiveInfinity)
        return std::numeric_limits<double>::infinity();
    if (isNegativeInfinity)
        return -std::numeric_limits<double>::infinity();
    return static_cast<double>(value) / static_cast<double>(timescale);
}

} // namespace vessaro
