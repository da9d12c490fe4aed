#pragma once

#include "capture/CaptureOutcome.h"

#include <QObject>
#include <QString>

namespace vessaro {

// What the capture service tells about a running recording before stop():
// emitted on the service's executor thread, so receivers on other threads
// get them queued. Lives on the thread that created the service.
class CaptureEvents final : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

Q_SIGNALS:
    // The recording takes no more audio: `reason` says why, for the user to
    // read, and `capturedSeconds` how much the file will hold. Once per
    // recording; stop() is still needed and reports what the reason implies.
    void captureInterrupted(const QString& reason, double capturedSeconds);
    // Capture moved to a new default output and goes on.
    void outputFollowed();
    // The audio server came back and capture goes on.
    void serverReconnected();
    // The peak of the samples that reached the file since the last report,
    // 0..1 of full scale: 0 when nothing but digital zero, or nothing at all,
    // arrived. Once per watch interval while recording, so at most 15 times a
    // second; measured on the writer's encoder thread, never on the audio one.
    void levelChanged(float peak);
    // A cancel() found a writer that held audio: it was finished and kept
    // rather than thrown away. `outcome` holds the validated file and its lock.
    void recordingKept(const vessaro::CaptureOutcome& outcome);
};

} // namespace vessaro
