#pragma once

#include <QStringView>

namespace vessaro {

// The program's name wherever a person reads it: the window and its title,
// the save dialog, the help sheet, the sound server's list of streams.
// A constant: any thread.
inline constexpr QStringView kProductName = u"Brisal录音";

} // namespace vessaro
