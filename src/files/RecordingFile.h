#pragma once

#include "base/Result.h"
#include "base/ZonedCalendar.h"
#include "files/LockedRecordingFile.h"
#include "files/RecordingSummary.h"
#include "files/RecoveredRecording.h"
#include "media/AudioOutputSettings.h"

#include <QDateTime>
#include <QString>

#include <vector>

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
    static Result<QString> makeTemporaryPath();

    // Creates a new, empty recording file at a location as above, already
    // locked: it is never visible unlocked under its name, so no other
    // process takes it for a leftover. Fails with the file system's error.
    static Result<LockedRecordingFile> createTemporaryFile();

    // Every recording file in the temporary folder that no running process
    // holds (left by a crash, a SIGTERM, or a quit with a pending recording),
    // newest first, each locked, repaired in place into an ordinary MP4 that
    // keeps every whole fragment, and validated. Of the others:
    //  - one that parses as ours with no whole fragment, or is empty, holds no
    //    audio and is removed; so is an empty hidden file that a crash left
    //    between creating and naming a recording;
    //  - one that does not parse, or repairs but fails validation, is renamed
    //    aside to "<name>.damaged" beside it, never removed, and no longer
    //    looked at: it may hold audio that only other tools can reach;
    //  - one that cannot be opened or repaired for a reason of the file
    //    system (a full disk) is left as it is for the next launch.
    // None of them stops the others. Files whose lock is held are never
    // touched. Reads and writes the disk: not on the main thread. `opener`
    // defaults to the platform's reader.
    static std::vector<RecoveredRecording> recoverLeftovers(const MediaAssetOpener* opener = nullptr);

    // Proves the file holds an ALAC audio track with a usable duration and is
    // not empty, and measures it. Errors of the media layer and the file
    // system come back unchanged. `opener` defaults to the platform's reader.
    static Result<RecordingSummary> validate(const QString& path, const MediaAssetOpener* opener = nullptr);

    // "系统音频 YYYY-MM-DD HH.MM.SS.mp4" for `instant` in `calendar`.
    static QString suggestedFilename(const QDateTime& instant, const ZonedCalendar& calendar);
};

} // namespace vessaro
