#pragma once

#include <optional>

namespace vessaro {

// Calendar fields of one instant; a field the calendar does not supply is empty.
struct DateComponents {
    std::optional<int> year;
    std::optional<int> month;
    std::optional<int> day;
    std::optional<int> hour;
    std::optional<int> minute;
    std::optional<int> second;
};

} // namespace vessaro
