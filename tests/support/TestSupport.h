#pragma once

#include "base/AudioStreamBasicDescription.h"
#include "base/Result.h"
#include "media/MediaWriter.h"

#include <QFuture>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <cstdint>
#include <memory>

// Test thread only, unless noted.
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

// The whole file, or nothing when it cannot be read.
QByteArray readAll(const QString& path);
// Runs the ffmpeg program with `arguments` (split at spaces), writing `path`.
bool runFfmpeg(const QString& arguments, const QString& path);

// A real writer for `path`, started for `stream` (ALAC at the stream's rate
// and channel count), or null. `ringBytes` 0: the writer's own ring size.
std::unique_ptr<MediaWriter> startedWriter(const QString& path, const AudioStreamBasicDescription& stream,
                                           int bitDepthHint = 24, std::size_t ringBytes = 0);
// The audio thread's sequence for one buffer. True when the writer took it.
// Any one thread at a time, as the audio thread.
bool appendOne(MediaWriter& writer, const void* data, std::uint32_t frames, const AudioStreamBasicDescription& stream,
               std::int64_t at);

// Frames in one closed fragment of a recording file at 48 kHz.
constexpr std::int64_t kFramesPerFragment = 6 * 4096;
// Records `fragments` fragments of 48 kHz 16-bit stereo at `path` with the
// real writer: a short quiet tone, then silence, which keeps the file a few
// kilobytes. Finished, or left as a crash would: the fragments closed, nothing
// finished. The frames written, or -1.
std::int64_t writeRecording(const QString& path, int fragments, bool finish = false);

} // namespace vessaro::test

#include "support/TestSupport.inl"
