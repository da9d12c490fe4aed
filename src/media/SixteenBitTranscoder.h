#pragma once

#include "base/CancellationToken.h"
#include "base/Result.h"

#include <QString>

#include <functional>

namespace vessaro {

// Rewrites a finished 24-bit recording as 16-bit ALAC when that loses
// nothing, and proves that it lost nothing. A recording is written at 24 bits
// because the depth is fixed in the file's header before the first sample is
// known; most sound played on a computer is 16-bit, and its 16-bit file is
// about half the size.
//
// A sample fits in 16 bits when the low 8 bits of its 24-bit value are zero
// (a float sample of k/32768 is written so). One that does not is never
// rounded, truncated or dithered: the recording then stays 24-bit.
//
// Thread: any one thread but the main and the audio thread; both calls read
// and write the disk for a time in proportion to the recording's length.
// `progress` is called on that thread with the fraction done, from 0 to 1;
// `cancel` is checked between encoder frames.
class SixteenBitTranscoder {
public:
    enum class Outcome { written, needsMoreBits };
    using Progress = std::function<void(double fraction)>;

    // Writes the samples of the ALAC recording at `source` as 16-bit ALAC
    // into `destination` (an existing file is truncated; its mode is kept),
    // an ordinary MP4 like every finished recording, and syncs it.
    // needsMoreBits, with `destination` left partly written, as soon as one
    // sample does not fit, and for a source that is not 24-bit.
    static Result<Outcome> transcode(
        const QString& source, const QString& destination, const Progress& progress, const CancellationToken& cancel);

    // Whether the two files decode to the same samples, as many of them, at
    // the same rate and channel count.
    static Result<bool> sameSamples(
        const QString& first, const QString& second, const Progress& progress, const CancellationToken& cancel);
};

} // namespace vessaro
