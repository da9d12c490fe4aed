#pragma once

#include "base/PlatformError.h"

#include <QString>

// FFmpeg's AVERROR codes in the recorder's words. Any thread.
namespace vessaro::FfmpegError {

// "`what`：FFmpeg's text for `averror`".
QString text(const QString& what, int averror);
// A media-layer PlatformError carrying `averror` and the text above.
PlatformError platformError(int averror, const QString& what);

} // namespace vessaro::FfmpegError
