#include "media/FfmpegError.h"

extern "C" {
#include <libavutil/error.h>
}

namespace vessaro::FfmpegError {

QString text(const QString& what, int averror)
{
    char description[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, description, sizeof description);
    return what + QStringLiteral("：") + QString::fromUtf8(description);
}

PlatformError platformError(int averror, const QString& what)
{
    return { PlatformError::Source::media, averror, text(what, averror) };
}

} // namespace vessaro::FfmpegError
