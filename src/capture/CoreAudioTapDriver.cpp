#include "capture/CoreAudioTapDriver.h"

#include "base/Platform.h"
#include "base/ProductName.h"
#include "capture/hal/PlatformAudioHardware.h"

namespace vessaro {
CoreAudioTapDriver::CoreAudioTapDriver(std::unique_ptr<AudioHardware> hardware)
    : m_hardware(hardware ? std::move(hardware) : makePlatformAudioHardware())
{ }

CoreAudioTapDriver::~CoreAudioTapDriver()
{
    (void)stop();
}

Diagnostics CoreAudioTapDriver::diagnostics() const
{
    return { m_hardware->backendName(), m_tap, m_device, m_io.has_value(), m_running, m_format.mSampleRate,
        m_target.program };
}

Result<std::vector<PlayingProgram>> CoreAudioTapDriver::playingPrograms()
{
    std::vector<PlayingProgram> programs;
    if (OSStatus status = m_hardware->readProcessList(&programs); status != 0)
        return RecorderError::captureFailed(QStringLiteral("读取正在播放的程序"), status);
    return programs;
}

Result<void> CoreAudioTapDriver::prepare(const CaptureTarget& target)
{
    if (auto stopped = stop(); !stopped)
        return stopped;

    TapDescription tapDescription;
    tapDescription.name = kProductName.toString();
    tapDescription.isPrivate = true;
    tapDescription.muteBehavior = 0;
    tapDescription.stereoMixdown = true;
    tapDescription.uuid = Platform::uuidString();
    tapDescription.target = target;
    m_target = target;

    const auto fail = [this](const QString& step, OSStatus status) -> Result<void> {
        // Undo what was created; a failing clean-up replaces the step's error.
        if (auto stopped = stop(); !stopped)
            return stopped;
        return RecorderError::captureFailed(step, status);
    };

    if (OSStatus status = m_hardware->createProcessTap(tapDescription, &m_tap); status != 0)
        return fail(QStringLiteral("创建系统音频采集"), status);
    if (OSStatus status = m_hardware->readTapFormat(m_tap, &m_format); status != 0)
        return fail(QStringLiteral("读取采集格式"), status);

    AggregateDeviceDescription deviceDescription;
    deviceDescription.name = QStringLiteral("Vessaro Private Input");
    deviceDescription.uid = QLatin1String(applicationPrefix) + QStringLiteral("recorder.") + Platform::uuidString();
    deviceDescription.isPrivate = true;
    deviceDescription.tapAutoStart = true;
    deviceDescription.taps = { { tapDescription.uuid, true } };

    if (OSStatus status = m_hardware->createAggregateDevice(deviceDescription, &m_device); status != 0)
        return fail(QStringLiteral("创建录音输入"), status);
    return {};
}

Result<void> CoreAudioTapDriver::start(ReceiveCallback receive, LossCallback lossNotice, EventCallback events)
{
    if (m_tap == 0 || m_device == 0 || m_io)
        return RecorderError::invalidOutput(QStringLiteral("录音设备未准备好或已开始录制。"));

    // The blocks capture only the callbacks, never the driver.
    AudioDeviceIOProcID io = 0;
    if (OSStatus status
        = m_hardware->createIOProc(m_device, std::move(receive), std::move(lossNotice), std::move(events), &io);
        status != 0)
        return RecorderError::captureFailed(QStringLiteral("注册音频回调"), status);
    m_io = io;
    // On failure the proc stays registered: the caller's stop() releases it.
    if (OSStatus status = m_hardware->deviceStart(m_device, *m_io); status != 0)
        return RecorderError::captureFailed(QStringLiteral("开始系统音频录制"), status);
    m_running = true;
    return {};
}

Result<void> CoreAudioTapDriver::stop()
{
    std::optional<RecorderError> firstFailure;
    const auto remember = [&firstFailure](const QString& step, OSStatus status) {
        if (!firstFailure)
            firstFailure = RecorderError::captureFailed(step, status);
    };

    if (m_device != 0) {
        if (m_io) {
            if (m_running) {
                if (OSStatus status = m_hardware->deviceStop(m_device, *m_io); status == 0)
                    m_running = false;
                else
                    remember(QStringLiteral("停止音频设备"), status);
            }
            if (OSStatus status = m_hardware->destroyIOProc(m_device, *m_io); status == 0)
                m_io.reset();
            else
                remember(QStringLiteral("移除音频回调"), status);
        }
        if (OSStatus status = m_hardware->destroyAggregateDevice(m_device); status == 0) {
            m_device = 0;
            m_io.reset();
            m_running = false;
        } else {
            remember(QStringLiteral("释放录音输入"), status);
        }
    }
    if (m_tap != 0) {
        if (OSStatus status = m_hardware->destroyProcessTap(m_tap); status == 0)
            m_tap = 0;
        else
            remember(QStringLiteral("释放系统音频采集"), status);
    }
    // The hand-over: once this returns, no callback of ours runs or will run.
    m_hardware->drainAudioQueue();

    if (firstFailure)
        return *firstFailure;
    return {};
}

} // namespace vessaro
