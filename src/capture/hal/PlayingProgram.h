#pragma once

#include <QString>

namespace vessaro {

// A program that plays sound now, as the capture can be aimed at it: several
// streams of one program make one entry. A plain value: any thread.
struct PlayingProgram {
    QString name; // application.name, else the binary: what CaptureTarget::ofProgram() takes
    QString binary;
    qint64 processId = 0; // 0: the server does not know it
    QString iconName; // application.icon_name, may be empty

    friend bool operator==(const PlayingProgram&, const PlayingProgram&) = default;
};

} // namespace vessaro
