#pragma once

#include "base/Result.h"

#include <QFuture>
#include <QString>
#include <QTemporaryDir>

#include <chrono>

namespace vessaro::test {

// Waits for `future` while running the calling thread's event loop.
template <typename T>
T await(QFuture<T> future, std::chrono::milliseconds limit = std::chrono::seconds(30));

// Points XDG_CACHE_HOME at a fresh directory for the lifetime of the object.
class ScopedCacheHome {
public:
    ScopedCacheHome();
    ~ScopedCacheHome();
    ScopedCacheHome(const ScopedCacheHome&) = delete;
    ScopedCacheHome& operator=(const ScopedCacheHome&) = delete;
    QString path() const { return m_dir.path(); }
    // Where recordings are written.
    QString recordingsDirectory() const { return m_dir.path() + QStringLiteral("/vessaro/Vessaro"); }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
};

// Whether a private audio server was started for this test run.
bool audioServerAvailable();

} // namespace vessaro::test

#include "support/TestSupport.inl"
