#pragma once

#include "base/Clock.h"
#include "capture/AudioCaptureDriver.h"

#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

namespace vessaro {

class MediaAssetOpener;
class MediaWriterFactory;

// The headless self-test: three three-second capture cycles and a
// cancellation check on a capture engine of its own, reported in
// DIR/result.json. Main thread only; the run is a task on the main thread's
// event loop and shares nothing with the window's recorder.
class CaptureVerification {
public:
    CaptureVerification() = delete;

    // What the run is built from; every member has a real default.
    struct Options {
        std::function<std::unique_ptr<AudioCaptureDriver>()> makeDriver;
        std::shared_ptr<Clock> clock;
        std::shared_ptr<const MediaWriterFactory> writers;
        std::shared_ptr<const MediaAssetOpener> assets;
    };

    // The directory after the first "--verify-capture" (resolved against the
    // working directory), or nothing when the flag is absent or last.
    static std::optional<QString> requestedDirectory(const QStringList& arguments);

    // Starts the run when `arguments` ask for it and returns at once. When the
    // run ends, passed or failed, `requestTermination` is called.
    static void runIfRequested(
        const QStringList& arguments, std::function<void()> requestTermination, Options options = {});

    // The run itself, for callers that await it.
    static QCoro::Task<void> run(QString directory, std::function<void()> requestTermination, Options options = {});
};

} // namespace vessaro
