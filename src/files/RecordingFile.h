#pragma once

#include "base/Result.h"
#include "base/ZonedCalendar.h"
#include "files/RecordingSummary.h"
#include "media/AudioOutputSettings.h"

#include <QDateTime>
#include <QString>

namespace vessaro {

class MediaAssetOpener;

// The conventions of recording files. Every member may be called from any
// thread but the audio thread; validate() reads the file, so keep it off the
// main thread.
class RecordingFile {
public:
    RecordingFile() = delete;

    // ALAC, 48 kHz stereo, a bit-depth hint of 24. Writers replace the rate and
    // channel count with the captured stream's.
    static const AudioOutputSettings& alacSettings();

    // "recording-<UUID>.mp4" in the private `Vessaro` folder of the per-user
    // temporary directory, which is created if missing. The file itself is not.
    static Result<QString> makeTemporaryURL();

    // Proves the file holds an ALAC audio track with a usable duration and is
    // not empty, and measures it. Errors of the media layer and the file
    // system come back unchanged. `opener` defaults to the platform's reader.
    static Result<RecordingSummary> validate(const QString& path, const MediaAssetOpener* opener = nullptr);

    // "系统音频 YYYY-MM-DD HH.MM.SS.mp4" for `instant` in `calendar`.
    static QString suggestedFilename(const QDateTime& instant, const ZonedCalendar& calendar);
};

} // namespace vessaro
