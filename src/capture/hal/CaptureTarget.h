#pragma once

#include <QMetaType>
#include <QString>

#include <utility>

namespace vessaro {

// What a capture records: the mix of every program, or the sound of one
// program, named as PlayingProgram names it. A plain value: any thread.
struct CaptureTarget {
    QString program; // empty: everything

    static CaptureTarget everything() { return {}; }
    static CaptureTarget ofProgram(QString name) { return { std::move(name) }; }
    bool isEverything() const { return program.isEmpty(); }

    friend bool operator==(const CaptureTarget&, const CaptureTarget&) = default;
};

} // namespace vessaro

Q_DECLARE_METATYPE(vessaro::CaptureTarget)
