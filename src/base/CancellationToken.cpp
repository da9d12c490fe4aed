#include "base/CancellationToken.h"

namespace vessaro {

std::shared_ptr<CancellationToken> CancellationToken::create()
{
    return std::make_shared<CancellationToken>(Key {});
}

void CancellationToken::cancel()
{
    if (!m_cancelled.exchange(true, std::memory_order_acq_rel))
        Q_EMIT cancelled();
}

} // namespace vessaro
