#pragma once

#include "capture/hal/CaptureTarget.h"

#include <QString>

namespace vessaro {

// What to tap: the mixed output of every process, or of the processes of one
// program, down-mixed to stereo. Built by the driver on the capture service's
// executor. On PulseAudio the name is the client name mixers list and the
// uuid a property of the connection; the monitor is always private to us,
// unmuted and recorded as stereo, so the other fields have nothing to set
// there.
struct TapDescription {
    QString name; // shown by desktop mixers
    bool isPrivate = true;
    int muteBehavior = 0; // 0: the tapped sound keeps playing
    bool stereoMixdown = true;
    CaptureTarget target {}; // the processes to include
    QString uuid; // the identifier the tap will carry
};

} // namespace vessaro
