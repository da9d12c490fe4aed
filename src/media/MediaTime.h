#pragma once

#include <cstdint>

namespace vessaro {

// A rational media time: value / timescale seconds, with the flags that say
// whether it means anything.
struct MediaTime {
    std::int64_t value = 0;
    std::int32_t timescale = 0;
    bool isValid = false;
    bool isIndefinite = false;
    bool isPositiveInfinity = false;
    bool isNegativeInfinity = false;

    // NaN for invalid and indefinite times, +-inf for infinite ones.
    double seconds() const;
};

} // namespace vessaro
