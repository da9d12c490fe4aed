#pragma once

#include <QString>

namespace vessaro {

// What to tap: the mixed output of every process, down-mixed to stereo.
// Built by the driver on the capture service's executor.
struct TapDescription {
    QString name;          // shown by desktop mixers
    bool isPrivate = true;
    int muteBehavior = 0;  // 0: the tapped sound keeps playing
    bool stereoMixdown = true;
    QString uuid;          // the identifier the tap will carry
};

} // namespace vessaro
