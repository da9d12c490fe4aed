#include "UiRender.h"
#include "support/RecorderRig.h"
#include "ui/BrisalTheme.h"
#include "ui/BrisalWindowControls.h"
#include "ui/ContentView.h"
#include "ui/HelpButton.h"
#include "ui/NoticeCard.h"
#include "ui/OrloPrimaryButton.h"
#include "ui/OrloSecondaryButton.h"
#include "ui/ProgramChooser.h"
#include "ui/StatusSymbol.h"
#include "ui/TimeDisplay.h"
#include "ui/UsageSheet.h"
#include "ui/WindowButton.h"

#include <QAccessible>
#include <QLabel>
#include <QTest>

using namespace vessaro;
using namespace std::chrono_literals;
using Kind = RecorderPhase::Kind;

namespace {

enum class Road { recordingAnHour, exporting, failedExport };

QString accessibleName(QWidget* widget)
{
    return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
}

// Drives the model along `road`; `atEnd` runs where the road ends (inside the
// save dialog for `exporting`, which is open only then).
bool drive(test::RecorderRig& rig, Road road, const std::function<void()>& atEnd)
{
    rig.desktop->whileModal = road == Road::exporting ? atEnd : std::function<void()>();
    rig.desktop->savePanelAnswers = { rig.exports.filePath(QStringLiteral("missing/saved.mp4")) };
    if (road == Road::recordingAnHour) {
        if (!rig.countDownTo())
            return false;
        rig.clock->advance(3600s + 200ms);
        if (!rig.waitFor([&] { return rig.model->elapsedSeconds() >= 3600; }))
            return false;
    } else if (!rig.recordAndStop(2, 0.25F)) {
        return false;
    }
    if (road != Road::exporting)
        atEnd();
    return true;
}

// Some opaque pixel that the focus changed is the theme's blue, give or take antialiasing.
bool ringedInBlue(const QImage& focused, const QImage& unfocused)
{
    const QRgb blue = BrisalTheme::blue().rgba() & 0xf0f0f0f0;
    for (int y = 0; y < focused.height(); ++y)
        for (int x = 0; x < focused.width(); ++x)
            if (focused.pixel(x, y) != unfocused.pixel(x, y) && (focused.pixel(x, y) & 0xf0f0f0f0) == blue)
                return true;
    return false;
}

} // namespace

class ContentViewTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Each phase as the model has it: the widgets show, and a screen reader
    // hears, what the presentation of that state says.
    void phases_data()
    {
        QTest::addColumn<int>("road");
        QTest::addColumn<bool>("pending");
        QTest::newRow("recording") << int(Road::recordingAnHour) << false;
        QTest::newRow("exporting") << int(Road::exporting) << false;
        QTest::newRow("failed export") << int(Road::failedExport) << true;
    }
    void phases()
    {
        QFETCH(int, road);
        QFETCH(bool, pending);
        test::RecorderRig rig;
        ContentView view(rig.model.get(), rig.desktop);
        view.show();
        bool checked = false;
        QVERIFY(drive(rig, Road(road), [&] {
            checked = true;
            RecorderViewModel& model = *rig.model;
            const PhasePresentation shown = PhasePresentation::of(model.phase(), model.elapsedSeconds(), pending,
                { model.interruptionReason(), model.transientNote(), model.isSilent(), model.hearsNothing(),
                    model.target() });
            QCOMPARE(view.presentation(), shown);
            const auto enabled = [](QWidget* widget) { return widget->isEnabled() ? QString() : QStringLiteral("!"); };
            QStringList seen { view.statusLabel()->text(), view.timeDisplay()->text(),
                accessibleName(view.timeDisplay()),
                accessibleName(view.primaryButton()) + enabled(view.primaryButton()),
                view.footer()->isVisible() ? QStringLiteral("footer") : QString(),
                view.noticeCard()->isVisible() ? view.noticeCard()->message() : QString() };
            QStringList expected { shown.primaryStatus, shown.displayTime, shown.timerAccessibilityLabel,
                shown.primary.title + (shown.primary.enabled ? QString() : QStringLiteral("!")),
                shown.showsFooter ? QStringLiteral("footer") : QString(), shown.notice.value_or(QString()) };
            for (auto* button : view.secondaryButtons())
                seen.append(button->isVisible() ? accessibleName(button) : QString());
            for (const auto& button : shown.secondary)
                expected.append(button.title);
            QCOMPARE(seen, expected);
            test::render(view, QStringLiteral("window-") + QString::fromUtf8(QTest::currentDataTag()));
            // The card hanging below the body takes the pointer too.
            QCOMPARE(view.mask().contains(view.noticeCard()->geometry().center()), shown.notice.has_value());
        }));
        QVERIFY(checked);
    }

    // The buttons act on the model, the file manager and the help sheet; the status row and symbol follow the sound.
    void buttonsAct()
    {
        test::RecorderRig rig;
        ContentView view(rig.model.get(), rig.desktop);
        view.show();
        test::render(view, QStringLiteral("window-idle"));
        // Clicks on the transparent margins and corners go to the windows behind.
        const QRegion body = BrisalTheme::bodyRegion(BrisalTheme::shell(1.0).toImage(), view.size());
        QVERIFY(!body.contains(QPoint(5, 5)) && !body.contains(QPoint(120, 102)) && body.contains(QPoint(400, 300)));
        QCOMPARE(view.mask(), body);
        // A repaint of the clock leaves the status row alone.
        QVERIFY(!view.timeDisplay()->geometry().intersects(view.statusLabel()->parentWidget()->geometry()));
        // The footer's chooser lists the programs playing, everything first; the one chosen is what the take
        // records, and it stays while the take runs.
        rig.hardware->setPlayingPrograms({ { "Firefox", "firefox", 42, "firefox" } });
        view.programChooser()->click();
        QVERIFY(rig.waitFor([&] { return view.programChooser()->menu(); }));
        QStringList offered;
        for (QAction* action : view.programChooser()->menu()->actions())
            offered.append(action->text() + (action->isChecked() ? "*" : ""));
        QCOMPARE(offered, QStringList({ "全部声音*", "", "Firefox" }));
        view.programChooser()->menu()->actions().last()->trigger();
        QCOMPARE(view.programChooser()->text(), "录制：Firefox");
        QTest::mouseClick(view.helpButton(), Qt::LeftButton);
        QVERIFY(view.showingUsage());
        QCOMPARE(view.usageSheet()->sourceFact()->text(), "只录下“Firefox”播放的声音，不录麦克风。");
        view.setShowingUsage(false);

        // A sound ends the silence notice (as shown on the recording road) and lights the symbol, still for less
        // motion.
        view.statusSymbol()->setReduceMotion(true);
        view.primaryButton()->click();
        QVERIFY(rig.countDownTo());
        rig.clock->advance(1s); // the clock's own tick, nothing else changes
        QVERIFY(rig.waitFor([&] { return view.timeDisplay()->text() == "00:01"; }));
        rig.model->chooseTarget(CaptureTarget::everything());
        QCOMPARE(rig.hardware->tapDescriptions().last().target, CaptureTarget::ofProgram("Firefox"));
        QVERIFY(!view.programChooser()->isEnabled() && rig.model->target() == CaptureTarget::ofProgram("Firefox"));
        rig.deliver();
        rig.clock->advance(5s);
        QVERIFY(rig.waitFor([&] { return rig.model->hearsNothing(); }));
        QCOMPARE(view.statusSymbol()->currentOpacity(), 1.0);
        view.statusSymbol()->setReduceMotion(false);
        rig.deliver(480, 1.0F);
        QVERIFY(rig.waitFor([&] { return !rig.model->hearsNothing(); }));
        QCOMPARE(view.statusLabel()->text(), PhasePresentation::of(RecorderPhase::recording(), 0, false).primaryStatus);
        QCOMPARE(view.statusSymbol()->currentOpacity(), 1.0);
        view.primaryButton()->click();
        QVERIFY(rig.waitForKind(Kind::finished));
        view.secondaryButtons().value(0)->click();
        QCOMPARE(rig.desktop->revealed, QStringList({ rig.pending() }));
    }

    // Tab visits every control from the primary button on, each ringed in blue while focused; Space
    // and Return press the focused button through a recording, its export and the next one.
    void keyboardOnly()
    {
        test::RecorderRig rig;
        rig.desktop->savePanelAnswers = { rig.exports.filePath(QStringLiteral("saved.mp4")) };
        ContentView view(rig.model.get(), rig.desktop);
        view.show();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        const auto press = [](Qt::Key key) { QTest::keyClick(QApplication::focusWidget(), key); };
        const auto& windowButtons = view.windowControls()->buttons();
        for (QWidget* control : QList<QWidget*> { view.primaryButton(), view.programChooser(),
                 view.footer()->findChildren<QAbstractButton*>().last(), windowButtons[0], windowButtons[1],
                 windowButtons[2], view.helpButton() }) {
            QCOMPARE(QApplication::focusWidget(), control);
            const QImage focused = control->grab().toImage();
            press(Qt::Key_Tab);
            QVERIFY(ringedInBlue(focused, control->grab().toImage()));
        }
        QCOMPARE(QApplication::focusWidget(), view.primaryButton());
        press(Qt::Key_Space);
        QVERIFY(rig.waitForKind(Kind::countingDown));
        QVERIFY(rig.countDownTo());
        rig.deliver();
        press(Qt::Key_Return);
        QVERIFY(rig.waitForKind(Kind::finished));
        press(Qt::Key_Tab);
        press(Qt::Key_Space);
        QCOMPARE(rig.desktop->revealed, QStringList({ rig.exports.filePath(QStringLiteral("saved.mp4")) }));
        press(Qt::Key_Backtab);
        press(Qt::Key_Return);
        QVERIFY(rig.waitForKind(Kind::countingDown));
    }
};

QTEST_MAIN(ContentViewTest)
#include "tst_contentview.moc"
