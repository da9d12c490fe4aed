#pragma once

#include <QList>
#include <QString>

namespace vessaro {

// The private input device that wraps a tap. Built by the driver on the
// capture service's executor.
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
