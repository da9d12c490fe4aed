#pragma once

#include "base/Result.h"

#include <QFuture>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <cstdint>

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

// Frames in one closed fragment of a recording file at 48 kHz.
constexpr std::int64_t kFramesPerFragment = 6 * 4096;
// Records `fragments` fragments of a 48 kHz 16-bit stereo tone at `path` with
// the real writer and leaves the file as a crash would: the fragments closed,
// nothing finished. The frames written, or -1.
std::int64_t writeUnfinishedRecording(const QString& path, int fragments);

} // namespace vessaro::test

#include "support/TestSupport.inl"
