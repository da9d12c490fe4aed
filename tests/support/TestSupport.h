#pragma once

#include "base/AudioStreamBasicDescription.h"
#include "base/Result.h"
#include "media/MediaWriter.h"
#include "support/ScopedEnvironmentVariable.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFuture>
#include <QString>
#include <QTemporaryDir>
#include <QThread>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>

// Test thread only, unless noted.
namespace vessaro::test {

// Waits for `future` while running the calling thread's event loop.
template <typename T> T await(QFuture<T> future, std::chrono::milliseconds limit = std::chrono::seconds(30))
{
    for (QDeadlineTimer deadline(limit); !future.isFinished(); QThread::msleep(1)) {
        if (deadline.hasExpired())
            qFatal("timed out waiting for a future");
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    if constexpr (!std::is_void_v<T>)
        return future.result();
}

// Points XDG_CACHE_HOME at a fresh directory for the lifetime of the object.
class ScopedCacheHome {
public:
    QString path() const { return m_dir.path(); }
    QString recordingsDirectory() const { return m_dir.path() + QStringLiteral("/vessaro/Vessaro"); }

private:
    QTemporaryDir m_dir;
    ScopedEnvironmentVariable m_variable { "XDG_CACHE_HOME", QFile::encodeName(m_dir.path()) };
};

// Whether a private audio server was started for this test run.
inline bool audioServerAvailable()
{
    return qEnvironmentVariableIsSet("VESSARO_TEST_AUDIO_SERVER");
}

// The whole file, or nothing when it cannot be read.
inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether all of `bytes` was written to a new `path`.
inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Runs the ffmpeg program with `arguments` (split at spaces), writing `path`.
bool runFfmpeg(const QString& arguments, const QString& path);

// A real writer for `path`, started for `stream` (ALAC at the stream's rate and channel count, at `bits`, 0 for
// the stream's depth up to 24, the ring of `ringBytes`, 0 for the program's own), or null.
std::unique_ptr<MediaWriter> startedWriter(
    const QString& path, const AudioStreamBasicDescription& stream, std::size_t ringBytes = 0, int bits = 0);
// The audio thread's sequence for one buffer. True when the writer took it. Any one thread at a time.
bool appendOne(MediaWriter& writer, const void* data, std::uint32_t frames, const AudioStreamBasicDescription& stream,
    std::int64_t at);

// Frames in one closed fragment of a recording file at 48 kHz.
constexpr std::int64_t kFramesPerFragment = 6 * 4096;
// Records `fragments` fragments of 48 kHz 16-bit stereo silence, a few kilobytes, at `path` with the real
// writer. Finished, or left as a crash would: the fragments closed, nothing finished. The frames written, or -1.
std::int64_t writeRecording(const QString& path, int fragments, bool finish = false);

// File calls that fail or stall as armed, on one file. Linked into a test (vessaro_file_faults), they replace
// the C library's in the whole process. Arm and disarm on the test thread while no call on that file is under way.
enum class FileCall { close, pread, fdatasync };
struct FileFault {
    FileCall call;
    int error = EIO; // 0: the call succeeds after the stall
    int after = 0, times = 1; // calls that pass, then calls that fail (-1: every later one)
    std::chrono::milliseconds stall { 0 }; // before each failing call
};
void armFileFault(const QString& path, const FileFault& fault);
void disarmFileFault();

} // namespace vessaro::test
