#pragma once

#include "capture/hal/AudioHardware.h"
#include "capture/hal/PulseConnection.h"
#include "capture/hal/PulseHandle.h"

#include <QByteArray>

#include <pulse/sample.h>

#include <cstdint>
#include <memory>

namespace vessaro {

// A record stream on a monitor source, or on one playback stream, float32
// stereo, and its read callback: the audio queue.
//
// Threads: every method, the constructor and the destructor run with the
// loop's lock held, off the loop's thread. The read callback runs on the
// loop's thread with the lock held; it takes no lock of ours, allocates
// nothing, makes no system call, never waits, and lets no exception out.
class PulseStream {
public:
    // Property of the stream that carries the aggregate device's uid.
    static constexpr const char* uidProperty = "vessaro.device.uid";

    struct Settings {
        QByteArray name;
        QByteArray uid;
        pa_sample_spec format {};
    };

    // Nothing is opened until open(). `connection` must outlive the stream.
    PulseStream(PulseConnection& connection, Settings settings);
    // Stops reading and disconnects if still connected; the stream is released with it.
    ~PulseStream();
    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

    // Connects to `source` and waits until the server has it ready. Corked,
    // it holds nothing back for us until uncorked. With `playback`, a sink
    // input's index, it records that stream alone; `source` must then be the
    // monitor of the sink it plays to.
    OSStatus open(const QByteArray& source, bool corked, std::uint32_t playback = PA_INVALID_INDEX);
    // A new, unopened stream like this one, on `connection`.
    std::unique_ptr<PulseStream> sibling(PulseConnection& connection) const;

    // Each IO cycle runs `input` with the audio, and `loss` (when set) with
    // the size of a hole the server marks. Both must outlive the reading;
    // null stops it.
    void readInto(const AudioInputBlock* input, const AudioLossBlock* loss);
    // Reads into the blocks `other` reads into, if any.
    void readLike(const PulseStream& other) { readInto(other.m_input, other.m_loss); }

    // Drops what the server holds for us, and waits for its answer.
    OSStatus flush();
    OSStatus setCorked(bool corked);
    // Disconnects and waits until the server confirms: no mixer lists it any more.
    OSStatus disconnect();

    const QByteArray& source() const { return m_source; }
    const pa_sample_spec& format() const { return m_settings.format; }
    bool isReady() const;
    bool isCorked() const;
    // False once the stream failed or ended, or was never opened.
    bool isGood() const;
    // What the read callback took since open() or the last call.
    std::uint64_t bytesReceived() const { return m_bytesReceived; }
    void countFromZero() { m_bytesReceived = 0; }

private:
    static void onState(pa_stream* stream, void* userdata);
    static void onRead(pa_stream* stream, size_t bytes, void* userdata) noexcept;

    PulseConnection& m_connection;
    const Settings m_settings;
    QByteArray m_source;
    PulseStreamHandle m_stream;
    const AudioInputBlock* m_input = nullptr;
    const AudioLossBlock* m_loss = nullptr;
    // Added to by the read callback.
    std::uint64_t m_bytesReceived = 0;
};

} // namespace vessaro
