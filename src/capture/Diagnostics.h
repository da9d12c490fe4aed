#pragma once

#include <QMap>
#include <QString>

#include <cstdint>

namespace vessaro {

// What a capture driver holds, for the self-test to check and report. A plain
// value: any thread.
struct Diagnostics {
    QString backend;
    std::uint32_t tap = 0; // 0: none
    std::uint32_t device = 0; // 0: none
    bool ioProc = false;
    bool running = false;
    double sampleRate = 0;
    QString program {}; // the program the last prepare aimed at; empty: everything

    // Whether every platform resource has been let go.
    bool released() const { return tap == 0 && device == 0 && !ioProc; }
    // The report's text form; its keys and values are what readers of the
    // self-test's result.json rely on. "program" only when one was aimed at.
    QMap<QString, QString> entries() const;

    friend bool operator==(const Diagnostics&, const Diagnostics&) = default;
};

} // namespace vessaro
