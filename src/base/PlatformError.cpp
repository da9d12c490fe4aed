#include "base/PlatformError.h"

#include "base/SystemErrorText.h"

namespace vessaro {

PlatformError PlatformError::fromErrno(int errnoValue, const QString& what)
{
    return { Source::fileSystem, errnoValue, what + QStringLiteral("：") + SystemErrorText::describe(errnoValue) };
}

} // namespace vessaro
