#pragma once

#include "app/CommandLine.h"
#include "base/Clock.h"
#include "capture/AudioCaptureDriver.h"

#include <qcoro/qcorotask.h>

#include <cstdio>
#include <functional>
#include <memory>

namespace vessaro {

// The recorder without a window: `vessaro --record FILE` and `--list-apps` on the same capture
// engine as the window and the self-test, so a take here is as safe as one
// there (a crash leaves it where the window's next launch repairs it). It
// owns only the run, the progress line and the final report.
//
// Main thread only; the runs are tasks on the main thread's event loop, which
// SIGINT, SIGTERM and SIGHUP end as a stop.
class CommandLineRecorder {
public:
    CommandLineRecorder() = delete;

    enum ExitStatus { succeeded = 0, failed = 1 };

    // What a run is built from; every member has a real default.
    struct Options {
        std::function<std::unique_ptr<AudioCaptureDriver>()> makeDriver;
        std::shared_ptr<Clock> clock;
        std::FILE* report; // the progress line and the messages; null: stderr
    };

    // Records as `request` asks, stops on its deadline, a signal or a capture
    // that ended early, and puts the validated take at the request's file.
    static QCoro::Task<int> record(CommandLine::Recording request, Options options = {});
    // Prints the programs playing now on stdout, one a line.
    static QCoro::Task<int> listPrograms(Options options = {});
};

} // namespace vessaro
