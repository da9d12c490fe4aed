#include "base/Error.h"

namespace vessaro {

QString Error::localizedDescription() const
{
    if (const auto* recorder = recorderError())
        return recorder->localizedDescription();
    if (const auto* platform = platformError())
        return platform->localizedDescription();
    return QStringLiteral("操作已取消。");
}

} // namespace vessaro
