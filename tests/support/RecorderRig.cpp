#include "support/RecorderRig.h"

#include "capture/CoreAudioTapDriver.h"
#include "capture/SystemAudioCaptureService.h"

#include <QDir>

#include <qcoro/qcorotask.h>

using namespace std::chrono_literals;

namespace vessaro::test {

RecorderRig::RecorderRig()
{
    auto hardwareOwned = std::make_unique<SimulatedAudioHardware>();
    hardware = hardwareOwned.get();
    auto service
        = std::make_unique<SystemAudioCaptureService>(std::make_unique<CoreAudioTapDriver>(std::move(hardwareOwned)),
            std::make_shared<FakeMediaWriterFactory>(script),
            std::make_shared<FakeMediaAssetOpener>(std::make_shared<FakeAssetScript>()));
    model = std::make_unique<RecorderViewModel>(std::move(service), desktop, clock, [] {
        return ZonedCalendar { QCalendar(), QTimeZone::utc() };
    });
    QObject::connect(model.get(), &RecorderViewModel::phaseChanged, model.get(),
        [this](const Phase& phase) { phases.append(phase); });
}

bool RecorderRig::waitForKind(Phase::Kind kind)
{
    return waitFor([&] { return model->phase().kind() == kind; });
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

void RecorderRig::deliver(std::uint32_t frames, float sample)
{
    std::vector<float> bytes(frames * 2, sample);
    AudioBufferList list { 1, { { 2, frames * 8, bytes.data() } } };
    hardware->deliver(&list);
}

QStringList RecorderRig::recordings() const
{
    return QDir(home.recordingsDirectory()).entryList(QDir::Files);
}

Result<void> RecorderRig::shutdown()
{
    return QCoro::waitFor(model->shutdownForTermination());
}

} // namespace vessaro::test
