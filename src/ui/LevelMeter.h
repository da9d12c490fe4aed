#pragma once

namespace vessaro {

// The recording symbol's level meter: the step it shows for the peaks it is
// given, rising at once and falling one step every framesPerFallingStep
// frames, so that a report or two of silence between louder ones does not
// make it flicker. A plain value, any thread.
class LevelMeter {
public:
    static constexpr int steps = 4;
    static constexpr int framesPerFallingStep = 2;

    // The step for a peak, 0..1 of full scale: 0 for silence, up to `steps`.
    static int stepOf(float peak);

    int shownStep() const { return m_shown; }
    // Whether frames still have a fall to show.
    bool isFalling() const { return m_shown > m_target; }
    // A new peak; true when the step shown changed.
    bool take(float peak);
    // One frame of the fall; true when the step shown changed.
    bool advanceFrame();
    // Shows the last peak's step at once, as after a pause.
    void settle();

private:
    int m_target = 0;
    int m_shown = 0;
    int m_framesHeld = 0;
};

} // namespace vessaro
