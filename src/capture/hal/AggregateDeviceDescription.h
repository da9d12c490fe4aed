#pragma once

#include <QList>
#include <QString>

namespace vessaro {

// The private input device that wraps a tap. Built by the driver on the
// capture service's executor. On PulseAudio the name is the record stream's
// media name and the uid a property of the stream; the one sub-tap's uid must
// be the uuid of the tap the backend holds. A record stream is private and
// starts with the device by nature, so the flags have nothing to set there.
struct AggregateDeviceDescription {
    struct SubTap {
        QString uid;
        bool drift = true;
    };

    QString name;
    QString uid;
    bool isPrivate = true;
    bool tapAutoStart = true;
    QList<SubTap> taps;
};

} // namespace vessaro
