#include "UiRender.h"
#include "support/RecorderRig.h"
#include "ui/BrisalWindowControls.h"
#include "ui/ContentView.h"
#include "ui/HelpButton.h"
#include "ui/NoticeCard.h"
#include "ui/OrloPrimaryButton.h"
#include "ui/OrloSecondaryButton.h"
#include "ui/TimeDisplay.h"

#include <QAccessible>
#include <QLabel>
#include <QTest>

using namespace vessaro;
using namespace std::chrono_literals;
using Kind = RecorderPhase::Kind;
using Call = SimulatedAudioHardware::Call;

namespace {

enum class Road { recordingAnHour, exporting, pending, saved, failed, failedWithPending };

QString accessibleName(QWidget* widget)
{
    QAccessibleInterface* node = QAccessible::queryAccessibleInterface(widget);
    return node ? node->text(QAccessible::Name) : QString();
}

// Drives the model along `road`; `atEnd` runs where the road ends (inside the
// save dialog for `exporting`, which is open only then).
bool drive(test::RecorderRig& rig, Road road, const std::function<void()>& atEnd)
{
    rig.desktop->whileModal = road == Road::exporting ? atEnd : std::function<void()>();
    if (road == Road::saved || road == Road::failedWithPending)
        rig.desktop->savePanelAnswers = { rig.exports.filePath(
            road == Road::saved ? QStringLiteral("saved.mp4") : QStringLiteral("missing/saved.mp4")) };
    if (road == Road::failed) {
        rig.hardware->failCall(Call::createProcessTap, -7);
        rig.model->start();
        if (!rig.waitForKind(Kind::failed))
            return false;
    } else if (road == Road::recordingAnHour) {
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

} // namespace

class ContentViewTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Each phase as the model has it: the widgets show what the presentation
    // of that state says, with the recording pending or not, and a screen
    // reader hears the same. The pictures land in the build tree.
    void phases_data()
    {
        QTest::addColumn<int>("road");
        QTest::addColumn<bool>("pending");
        QTest::newRow("recording") << int(Road::recordingAnHour) << false;
        QTest::newRow("exporting") << int(Road::exporting) << false;
        QTest::newRow("pending") << int(Road::pending) << true;
        QTest::newRow("saved") << int(Road::saved) << false;
        QTest::newRow("failed") << int(Road::failed) << false;
        QTest::newRow("failed export") << int(Road::failedWithPending) << true;
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
                { model.interruptionReason(), model.transientNote(), model.isSilent() });
            QCOMPARE(view.presentation(), shown);
            QCOMPARE(view.statusLabel()->text(), shown.primaryStatus);
            QCOMPARE(view.timeDisplay()->text(), shown.displayTime);
            QCOMPARE(accessibleName(view.timeDisplay()), shown.timerAccessibilityLabel);
            QCOMPARE(view.primaryButton()->text(), shown.primary.title);
            QCOMPARE(accessibleName(view.primaryButton()), shown.primary.title);
            QCOMPARE(view.primaryButton()->isEnabled(), shown.primary.enabled);
            QStringList titles;
            for (const auto& button : shown.secondary)
                titles.append(button.title);
            QStringList visible;
            for (auto* button : view.secondaryButtons())
                visible.append(button->isVisible() ? accessibleName(button) : QString());
            QCOMPARE(visible, titles);
            QCOMPARE(view.footer()->isVisible(), shown.showsFooter);

            QCOMPARE(view.noticeCard()->isVisible(), shown.notice.has_value());
            if (shown.notice) {
                // The card hangs 38 points into the canvas, with 24 below it.
                const QRect card = view.noticeCard()->geometry();
                QCOMPARE(card, QRect(100, 512 - 38, 568, card.height()));
                QCOMPARE(view.size(), QSize(768, card.bottom() + 1 + 24));
                QCOMPARE(view.noticeCard()->message(), *shown.notice);
            } else {
                QCOMPARE(view.size(), QSize(768, 512));
            }
            test::render(view, QStringLiteral("window-") + QString::fromUtf8(QTest::currentDataTag()));
        }));
        QVERIFY(checked);
    }

    // Where the elements sit on the canvas (the picture is the README's).
    void elementsSitAtTheirPlaces()
    {
        test::RecorderRig rig;
        ContentView view(rig.model.get(), rig.desktop);
        view.show();
        test::render(view, QStringLiteral("window-idle"));
        QCOMPARE(view.windowControls()->geometry(), QRect(151, 148, 76, 28));
        QCOMPARE(view.helpButton()->geometry(), QRect(527, 146, 36, 36));
        QCOMPARE(view.timeDisplay()->geometry(), QRect(243, 219, 355, 80));
        QCOMPARE(view.titleBlock()->width(), 300);
        QCOMPARE(QRectF(view.primaryButton()->geometry().marginsRemoved(OrloPrimaryButton::shadowMargins())),
            QRectF(265, 335, 310, 58));
        QCOMPARE(view.helpButton()->toolTip(), QStringLiteral("使用帮助"));
    }

    // The buttons act on the model, the file manager and the help sheet.
    void buttonsAct()
    {
        test::RecorderRig rig;
        ContentView view(rig.model.get(), rig.desktop);
        view.show();
        QTest::mouseClick(view.helpButton(), Qt::LeftButton);
        QVERIFY(view.showingUsage());
        view.setShowingUsage(false);

        view.primaryButton()->click();
        QVERIFY(rig.countDownTo());
        rig.deliver();
        view.primaryButton()->click();
        QVERIFY(rig.waitForKind(Kind::finished));
        view.secondaryButtons().value(0)->click();
        QCOMPARE(rig.desktop->revealed, QStringList({ rig.pending() }));
    }
};

QTEST_MAIN(ContentViewTest)
#include "tst_contentview.moc"
