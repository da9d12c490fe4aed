#pragma once

#include <QCalendar>
#include <QTimeZone>

namespace vessaro {

// A calendar together with the time zone its dates are expressed in. A plain
// value; any thread.
struct ZonedCalendar {
    QCalendar calendar;
    QTimeZone zone;

    // The user's calendar (Gregorian) in the system time zone.
    static ZonedCalendar current() { return { QCalendar(), QTimeZone::systemTimeZone() }; }
};

} // namespace vessaro
