#include "support/RecorderRig.h"

using namespace std::chrono_literals;

namespace vessaro::test {

RecorderRig::RecorderRig()
{
    model = std::make_unique<RecorderViewModel>(std::move(capture.service), desktop, clock, [] {
        return ZonedCalendar { QCalendar(), QTimeZone::utc() };
    });
    QObject::connect(model.get(), &RecorderViewModel::phaseChanged, model.get(),
        [this](const Phase& phase) { phases.append(phase); });
}

bool RecorderRig::countDownTo(int secondsLeft)
{
    if (!model->phase().isBusy())
        model->start();
    for (int n = 3; n > secondsLeft; --n) {
        if (!waitFor([&] { return model->phase() == Phase::countingDown(n); }))
            return false;
        clock->advance(1s);
    }
    return waitFor(
        [&] { return model->phase() == (secondsLeft ? Phase::countingDown(secondsLeft) : Phase::recording()); });
}

bool RecorderRig::recordAndStop(int chunks, float sample)
{
    if (!countDownTo())
        return false;
    for (int i = 0; i < chunks; ++i)
        deliver(480, sample);
    model->stop();
    return waitFor([&] { return !model->phase().isBusy(); });
}

} // namespace vessaro::test
