#include "support/TestSupport.h"

#include <QtGlobal>

namespace vessaro::test {

ScopedCacheHome::ScopedCacheHome()
    : m_previous(qgetenv("XDG_CACHE_HOME")), m_hadPrevious(qEnvironmentVariableIsSet("XDG_CACHE_HOME"))
{
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_dir.path()));
}

ScopedCacheHome::~ScopedCacheHome()
{
    if (m_hadPrevious)
        qputenv("XDG_CACHE_HOME", m_previous);
    else
        qunsetenv("XDG_CACHE_HOME");
}

bool audioServerAvailable()
{
    return qEnvironmentVariableIsSet("VESSARO_TEST_AUDIO_SERVER");
}

} // namespace vessaro::test
