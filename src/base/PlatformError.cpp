#include "base/PlatformError.h"

#include <cstring>

namespace vessaro {

PlatformError PlatformError::fromErrno(int errnoValue, const QString& what)
{
    return { Source::fileSystem, errnoValue,
        what + QStringLiteral("：") + QString::fromLocal8Bit(std::strerror(errnoValue)) };
}

} // namespace vessaro
