#include "ui/PhasePresentation.h"

#include <cmath>

namespace vessaro {
namespace {

using Action = PhasePresentation::Action;
using Button = PhasePresentation::Button;
using Indicator = PhasePresentation::Indicator;

const QString kZeroTime = QStringLiteral("00:00");
// A take of pure digital silence is the mistake users most often miss.
const QString kSilent = QStringLiteral("录音里没有声音");

Button reveal()
{
    return { QStringLiteral("在文件管理器中显示"), {}, Action::revealInFileManager };
}
Button soundSettings()
{
    return { QStringLiteral("打开声音设置"), {}, Action::openSoundSettings };
}

} // namespace

QString formatDuration(double seconds)
{
    // Beyond what a 64-bit count of seconds holds nothing sensible is left to show.
    if (!std::isfinite(seconds) || seconds < 1.0 || seconds >= 9.2e18)
        return kZeroTime;
    const auto whole = static_cast<long long>(seconds);
    if (whole < 3600)
        return QString::asprintf("%02lld:%02lld", whole / 60, whole % 60);
    return QString::asprintf("%02lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
}

PhasePresentation PhasePresentation::of(const RecorderPhase& phase, double elapsedSeconds, bool recordingPending)
{
    return of(phase, elapsedSeconds, recordingPending, CaptureState());
}

PhasePresentation PhasePresentation::of(
    const RecorderPhase& phase, double elapsedSeconds, bool recordingPending, const CaptureState& capture)
{
    PhasePresentation shown;
    shown.displayTime = kZeroTime;
    switch (phase.kind()) {
    case RecorderPhase::Kind::idle:
        shown.primaryStatus = QStringLiteral("准备好了");
        shown.primary = { QStringLiteral("开始录制"), QStringLiteral("record.circle"), Action::start };
        break;
    case RecorderPhase::Kind::countingDown:
        shown.primaryStatus = QStringLiteral("倒计时后开始录制");
        shown.displayTime = QString::number(phase.secondsLeft());
        shown.primary = { QStringLiteral("取消倒计时"), QStringLiteral("xmark"), Action::cancelCountdown };
        break;
    case RecorderPhase::Kind::preparing:
        shown.indicator = Indicator::spinner;
        shown.primaryStatus = QStringLiteral("稍等，马上就好");
        shown.primary = { QStringLiteral("正在准备录音…"), QStringLiteral("hourglass"), Action::none, false };
        break;
    case RecorderPhase::Kind::recording:
        shown.indicator = Indicator::recordingPulse;
        shown.primaryStatus = QStringLiteral("正在录制系统声音");
        shown.displayTime = formatDuration(elapsedSeconds);
        shown.primary = { QStringLiteral("停止并导出"), QStringLiteral("stop.fill"), Action::stop };
        // Said at once, not at stop: what was captured until then is kept.
        if (!capture.interruptionReason.isEmpty()) {
            shown.indicator = Indicator::failedExclamation;
            shown.primaryStatus = QStringLiteral("录音已中断");
            shown.notice = capture.interruptionReason;
        } else if (!capture.transientNote.isEmpty()) {
            // A few seconds only; the silence is told again after it.
            shown.primaryStatus = capture.transientNote;
        } else if (capture.hearsNothing) {
            shown.primaryStatus = QStringLiteral("没有听到声音，请确认电脑正在播放");
        }
        break;
    case RecorderPhase::Kind::exporting:
        shown.indicator = Indicator::spinner;
        shown.primaryStatus = QStringLiteral("正在整理这段声音");
        shown.displayTime = formatDuration(elapsedSeconds);
        shown.primary = { phase.percentDone() ? QStringLiteral("正在保存录音… %1%").arg(*phase.percentDone())
                                              : QStringLiteral("正在保存录音…"),
            QStringLiteral("square.and.arrow.down"), Action::none, false };
        break;
    case RecorderPhase::Kind::finished:
        shown.displayTime = formatDuration(phase.summary().duration);
        shown.showsFooter = false;
        if (recordingPending) {
            shown.indicator = Indicator::pendingTray;
            shown.primaryStatus = capture.silent ? kSilent : QStringLiteral("录音已保留，等待导出");
            shown.primary
                = { QStringLiteral("再次导出"), QStringLiteral("square.and.arrow.down"), Action::exportAgain };
            shown.secondary = { reveal(), { QStringLiteral("再次录制"), {}, Action::recordAgain } };
        } else {
            shown.indicator = Indicator::savedCheck;
            shown.primaryStatus = capture.silent ? kSilent : QStringLiteral("录音已保存");
            shown.primary = { QStringLiteral("再次录制"), QStringLiteral("record.circle"), Action::recordAgain };
            shown.secondary = { reveal() };
        }
        break;
    case RecorderPhase::Kind::failed:
        shown.indicator = Indicator::failedExclamation;
        shown.primaryStatus = QStringLiteral("录制没有完成");
        // Retrying asks first when a recording is still pending.
        shown.primary = { QStringLiteral("重新尝试"), QStringLiteral("arrow.clockwise"), Action::retry };
        // A recording that failed to export can still be saved from here.
        if (recordingPending)
            shown.secondary.append({ QStringLiteral("再次导出"), {}, Action::exportAgain });
        shown.secondary.append(soundSettings());
        shown.showsFooter = false;
        shown.notice = phase.message();
        break;
    }
    shown.chooser = { capture.target.isEverything() ? QStringLiteral("录制：全部声音")
                                                    : QStringLiteral("录制：") + capture.target.program,
        {}, Action::chooseTarget, phase.kind() == RecorderPhase::Kind::idle };
    shown.timePointSize = shown.displayTime.size() >= 6 ? smallTimePointSize : largeTimePointSize;
    shown.timerAccessibilityLabel = phase.kind() == RecorderPhase::Kind::countingDown
        ? QStringLiteral("还有 %1 秒开始录制").arg(phase.secondsLeft())
        : QStringLiteral("录音时长 ") + shown.displayTime;
    return shown;
}

} // namespace vessaro
