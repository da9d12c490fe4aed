#pragma once

#include <QByteArray>

#include <functional>

// Whether the user asked the desktop for less motion. Then the time display
// does not roll its digits and the recording symbol does not pulse; the
// spinner and the button press still move. Main thread only.
namespace vessaro::ReducedMotion {

// VESSARO_REDUCE_MOTION=1 asks for reduced motion and =0 refuses it, whatever
// the desktop says; otherwise GNOME's enable-animations = false asks for it.
// Read once per process.
bool requested();

// The rule behind requested(): `environmentValue` is VESSARO_REDUCE_MOTION's
// value (empty when unset); `enableAnimations` answers gsettings' output for
// org.gnome.desktop.interface enable-animations, empty when there is none.
bool decide(const QByteArray& environmentValue, const std::function<QByteArray()>& enableAnimations);

} // namespace vessaro::ReducedMotion
