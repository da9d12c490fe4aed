#include "base/PlatformError.h"

extern "C" {
#include <libavutil/error.h>
}

#include <cstring>

namespace vessaro {

PlatformError PlatformError::fromErrno(int errnoValue, const QString& what)
{
    return {Source::fileSystem, errnoValue,
            what + QStringLiteral("：") + QString::fromLocal8Bit(std::strerror(errnoValue))};
}

PlatformError PlatformError::fromAvError(int averror, const QString& what)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, text, sizeof text);
    return {Source::media, averror, what + QStringLiteral("：") + QString::fromUtf8(text)};
}

} // namespace vessaro
