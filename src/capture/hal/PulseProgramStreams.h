#pragma once

#include "capture/hal/AudioHardware.h"
#include "capture/hal/ProgramMixer.h"
#include "capture/hal/PulseConnection.h"
#include "capture/hal/PulseStream.h"

#include <QString>

#include <memory>
#include <vector>

namespace vessaro {

// The playback streams of one program, each recorded on its own (a record
// stream made a monitor of that sink input) into a slot of a ProgramMixer,
// and the input block that hands their mix to the device in the cycles of the
// time base: the stream on the default output's monitor. A program matches by
// its name as PlayingProgram gives it (application.name, else the binary).
// At most ProgramMixer::maxStreams streams are followed at once; a further
// one is heard once a followed one ends and the next follow() runs.
//
// Threads: every method with the loop's lock held, off the loop's thread
// (follow() waits on the server). The blocks run on the loop's thread with
// the lock held: they take no lock of ours, allocate nothing, make no system
// call and never wait.
class PulseProgramStreams {
public:
    PulseProgramStreams(QString program, PulseStream::Settings settings);
    PulseProgramStreams(const PulseProgramStreams&) = delete;
    PulseProgramStreams& operator=(const PulseProgramStreams&) = delete;

    // The block the time base reads into: each of its cycles runs `input`
    // with the mix of as many frames. Program streams report holes to `loss`.
    // Both must outlive the reading.
    const AudioInputBlock* timeBase(const AudioInputBlock* input, const AudioLossBlock* loss);
    // Records every playback stream of the program that `connection` lists,
    // and lets go of those that ended or failed.
    OSStatus follow(PulseConnection& connection);
    // Lets go of every stream: before their connection goes, or at a stop.
    void closeAll();

private:
    struct Followed {
        std::uint32_t playback = 0;
        std::unique_ptr<PulseStream> stream; // null: the slot is free
        AudioInputBlock input; // fills the slot
    };

    void close(int slot);

    const QString m_program;
    const PulseStream::Settings m_settings;
    const std::uint32_t m_chunkFrames;
    ProgramMixer m_mixer;
    std::vector<float> m_mix; // one chunk of the time base
    Followed m_followed[ProgramMixer::maxStreams]; // by mixer slot
    const AudioInputBlock* m_input = nullptr;
    const AudioLossBlock* m_loss = nullptr;
    AudioInputBlock m_timeBase;
};

} // namespace vessaro
