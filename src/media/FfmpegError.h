#pragma once

#include "base/PlatformError.h"

#include <QString>

// FFmpeg's AVERROR codes in the recorder's words. Any thread.
namespace vessaro::FfmpegError {

// What went wrong, without the operation. A code that wraps an errno reads as
// that errno; one we have no words for keeps its number: "FFmpeg 错误 -1234".
QString describe(int averror);
// "`what`：" and the description above.
QString text(const QString& what, int averror);
// A media-layer PlatformError carrying `averror` and the text above.
PlatformError platformError(int averror, const QString& what);

} // namespace vessaro::FfmpegError
