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
            // What the widgets show, and what a screen reader hears, against the presentation.
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
            // The card hangs 38 points into the canvas, with 24 below it.
            const QRect card = view.noticeCard()->geometry();
            QCOMPARE(view.size(), shown.notice ? QSize(768, 512 - 38 + card.height() + 24) : QSize(768, 512));
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
        QCOMPARE(view.timeDisplay()->geometry(), QRect(243, 219, 355, 80));
        QCOMPARE(QRectF(view.primaryButton()->geometry().marginsRemoved(OrloPrimaryButton::shadowMargins())),
            QRectF(265, 335, 310, 58));
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
