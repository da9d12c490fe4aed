#include "ui/PhasePresentation.h"

#include <QTest>

#include <cmath>

using namespace vessaro;
using Action = PhasePresentation::Action;
using Indicator = PhasePresentation::Indicator;

Q_DECLARE_METATYPE(vessaro::PhasePresentation::CaptureState)

class PhasePresentationTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void durations_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("negative") << -5.0 << "00:00";
        QTest::newRow("cut, not rounded") << 59.9 << "00:59";
        QTest::newRow("a minute and a second") << 61.0 << "01:01";
        QTest::newRow("the last second before an hour") << 3599.9 << "59:59";
        QTest::newRow("hours, minutes, seconds") << 3661.5 << "01:01:01";
        QTest::newRow("a hundred hours") << 360000.0 << "100:00:00";
        QTest::newRow("not a number") << std::nan("") << "00:00";
    }
    void durations()
    {
        QFETCH(double, seconds);
        QFETCH(QString, text);
        QCOMPARE(formatDuration(seconds), text);
    }

    // The window's whole per-phase table: status, time, primary title ("!" when disabled), the secondary titles, then
    // the notice; what a running capture or a silent take changes (an interruption is also the notice).
    void phases_data()
    {
        QTest::addColumn<RecorderPhase>("phase");
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<bool>("pending");
        QTest::addColumn<PhasePresentation::CaptureState>("capture");
        QTest::addColumn<int>("indicator");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<int>("action");
        QTest::addColumn<QString>("footer"); // the chooser, "!" when closed; empty without a footer
        const RecordingSummary summary { 3661.5, 1000 };
        const auto row = [](const char* name, const RecorderPhase& phase, double elapsed, bool pending,
                             Indicator indicator, const QStringList& texts, Action action, const char* footer,
                             const PhasePresentation::CaptureState& capture = {}) {
            QTest::newRow(name) << phase << elapsed << pending << capture << int(indicator) << texts << int(action)
                                << QString::fromUtf8(footer);
        };
        row("idle", RecorderPhase::idle(), 12, false, Indicator::none, { "准备好了", "00:00", "开始录制" },
            Action::start, "录制：全部声音");
        row("counting down", RecorderPhase::countingDown(2), 12, false, Indicator::none,
            { "倒计时后开始录制", "2", "取消倒计时" }, Action::cancelCountdown, "录制：全部声音!");
        row("preparing", RecorderPhase::preparing(), 12, false, Indicator::spinner,
            { "稍等，马上就好", "00:00", "正在准备录音…!" }, Action::none, "录制：全部声音!");
        row("recording", RecorderPhase::recording(), 3600.2, false, Indicator::recordingPulse,
            { "正在录制系统声音", "01:00:00", "停止并导出" }, Action::stop, "录制：全部声音!");
        row("hears nothing; a silent take says nothing yet", RecorderPhase::recording(), 7, false,
            Indicator::recordingPulse, { "没有听到声音，请确认电脑正在播放", "00:07", "停止并导出" }, Action::stop,
            "录制：全部声音!", { "", "", true, true, {} });
        row("a note outranks hearing nothing", RecorderPhase::recording(), 7, false, Indicator::recordingPulse,
            { "声音服务已重新连接", "00:07", "停止并导出" }, Action::stop, "录制：全部声音!",
            { "", "声音服务已重新连接", false, true, {} });
        row("interruption outranks a note", RecorderPhase::recording(), 7, false, Indicator::failedExclamation,
            { "录音已中断", "00:07", "停止并导出", "声音服务已退出" }, Action::stop, "录制：全部声音!",
            { "声音服务已退出", "已切换到新的输出设备", false, true, {} });
        row("one program chosen", RecorderPhase::idle(), 0, false, Indicator::none, { "准备好了", "00:00", "开始录制" },
            Action::start, "录制：Firefox", { "", "", false, false, CaptureTarget::ofProgram("Firefox") });
        row("one program recorded", RecorderPhase::recording(), 7, false, Indicator::recordingPulse,
            { "正在录制系统声音", "00:07", "停止并导出" }, Action::stop, "录制：Firefox!",
            { "", "", false, false, CaptureTarget::ofProgram("Firefox") });
        row("exporting", RecorderPhase::exporting(), 75, false, Indicator::spinner,
            { "正在整理这段声音", "01:15", "正在保存录音…!" }, Action::none, "录制：全部声音!");
        row("exporting, with progress", RecorderPhase::exporting(42), 75, false, Indicator::spinner,
            { "正在整理这段声音", "01:15", "正在保存录音… 42%!" }, Action::none, "录制：全部声音!");
        row("finished, pending", RecorderPhase::finished("/t/a.mp4", summary), 5, true, Indicator::pendingTray,
            { "录音已保留，等待导出", "01:01:01", "再次导出", "在文件管理器中显示", "再次录制" }, Action::exportAgain,
            "");
        row("finished, saved", RecorderPhase::finished("/m/a.mp4", summary), 5, false, Indicator::savedCheck,
            { "录音已保存", "01:01:01", "再次录制", "在文件管理器中显示" }, Action::recordAgain, "");
        row("silent take", RecorderPhase::finished("/m/a.mp4", summary), 5, false, Indicator::savedCheck,
            { "录音里没有声音", "01:01:01", "再次录制", "在文件管理器中显示" }, Action::recordAgain, "",
            { "", "", true, false, {} });
        row("failed", RecorderPhase::failed("坏了"), 5, false, Indicator::failedExclamation,
            { "录制没有完成", "00:00", "重新尝试", "打开声音设置", "坏了" }, Action::retry, "");
        row("failed, recording pending", RecorderPhase::failed("坏了"), 5, true, Indicator::failedExclamation,
            { "录制没有完成", "00:00", "重新尝试", "再次导出", "打开声音设置", "坏了" }, Action::retry, "");
    }
    void phases()
    {
        QFETCH(RecorderPhase, phase);
        QFETCH(double, elapsed);
        QFETCH(bool, pending);
        QFETCH(PhasePresentation::CaptureState, capture);
        QFETCH(int, indicator);
        QFETCH(QStringList, texts);
        QFETCH(int, action);
        QFETCH(QString, footer);
        const PhasePresentation shown = PhasePresentation::of(phase, elapsed, pending, capture);
        QStringList shownTexts { shown.primaryStatus, shown.displayTime,
            shown.primary.title + (shown.primary.enabled ? QString() : QStringLiteral("!")) };
        for (const auto& button : shown.secondary)
            shownTexts.append(button.title);
        if (shown.notice)
            shownTexts.append(*shown.notice);
        QCOMPARE(shownTexts, texts);
        QCOMPARE(int(shown.indicator), indicator);
        QCOMPARE(int(shown.primary.action), action);
        QCOMPARE(shown.showsFooter ? shown.chooser.title + (shown.chooser.enabled ? "" : "!") : QString(), footer);
        QCOMPARE(shown.timerAccessibilityLabel,
            phase.kind() == RecorderPhase::Kind::countingDown ? QStringLiteral("还有 2 秒开始录制")
                                                              : QStringLiteral("录音时长 ") + texts.at(1));
    }
};

QTEST_APPLESS_MAIN(PhasePresentationTest)
#include "tst_phasepresentation.moc"
