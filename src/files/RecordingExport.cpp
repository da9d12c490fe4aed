#include "files/RecordingExport.h"

#include "base/Platform.h"
#include "files/RecordingFile.h"
#include "media/SixteenBitTranscoder.h"

#include <optional>
#include <utility>

namespace vessaro {

namespace {

// The share of the work the encoding takes; the comparison takes the rest.
constexpr double kEncodingShare = 0.7;

// What the 16-bit attempt came to, when it ended without an error.
struct Attempt {
    // Set once the 16-bit file has proved to hold the recording's samples.
    std::optional<RecordingSummary> reduced;
    bool needsMoreBits = false;
};

// Writes the 16-bit file at `staging`, proves it holds the samples of
// `source`, and measures it into `attempt`. An error whenever it cannot take
// the name, so that the staging file is removed.
Result<void> writeSixteenBit(const QString& source, const QString& staging, const RecordingExport::Progress& progress,
    const CancellationToken& cancel, Attempt& attempt)
{
    const auto encoding = [&](double fraction) { progress(fraction * kEncodingShare); };
    auto written = SixteenBitTranscoder::transcode(source, staging, encoding, cancel);
    if (!written)
        return written.error();
    attempt.needsMoreBits = written.value() == SixteenBitTranscoder::Outcome::needsMoreBits;
    if (attempt.needsMoreBits)
        return RecorderError::invalidOutput(QStringLiteral("录音需要 24 位"));
    const auto comparing = [&](double fraction) { progress(kEncodingShare + fraction * (1 - kEncodingShare)); };
    auto same = SixteenBitTranscoder::sameSamples(source, staging, comparing, cancel);
    if (!same)
        return same.error();
    if (!same.value())
        return RecorderError::invalidOutput(QStringLiteral("16 位文件与录音不符"));
    auto measured = RecordingFile::validate(staging);
    if (!measured)
        return measured.error();
    attempt.reduced = measured.value();
    return {};
}

} // namespace

Result<RecordingExport::Exported> RecordingExport::run(const QString& source, const RecordingSummary& summary,
    const QString& destination, const Progress& progress, const CancellationToken& cancel)
{
    // Once per whole percent: the decoders report every frame, and each
    // caller would otherwise thin them out itself.
    const Progress report = [&progress, shown = -1](double fraction) mutable {
        if (const int percent = static_cast<int>(fraction * 100); progress && percent != std::exchange(shown, percent))
            progress(fraction);
    };
    Attempt attempt;
    auto replaced = Platform::replaceFileWith(
        destination, [&](const QString& staging) { return writeSixteenBit(source, staging, report, cancel, attempt); });
    if (replaced && attempt.reduced)
        return Exported { *attempt.reduced, 16 };
    // A quit may come while the attempt fails for another reason: no copy then either.
    if (cancel.isCancelled())
        return Error(CancellationError {});
    if (!replaced && !attempt.needsMoreBits)
        Platform::logLine(
            QStringLiteral("The 16-bit export fell back to a copy: ") + replaced.error().localizedDescription());
    if (auto copied = Platform::replaceFile(source, destination); !copied)
        return copied.error();
    report(1.0);
    return Exported { summary, 24 };
}

} // namespace vessaro
