#include "support/RecorderRig.h"
#include "ui/BrisalWindowControls.h"
#include "ui/ContentView.h"
#include "ui/HelpButton.h"
#include "ui/NoticeCard.h"
#include "ui/OrloPrimaryButton.h"
#include "ui/OrloSecondaryButton.h"
#include "ui/TimeDisplay.h"
#include "ui/UsageSheet.h"
#include "UiRender.h"

#include <QAccessible>
#include <QLabel>
#include <QTest>

using namespace vessaro;
using namespace std::chrono_literals;
using Phase = RecorderViewModel::Phase;
using Call = SimulatedAudioHardware::Call;

namespace {

enum class Road { idle, countingDown, recordingAnHour, exporting, pending, saved, failed, failedWithPending };

QString accessibleName(QWidget* widget)
{
    QAccessibleInterface* node = QAccessible::queryAccessibleInterface(widget);
    return node ? node->text(QAccessible::Name) : QString();
}

QStringList titles(const QList<OrloSecondaryButton*>& buttons)
{
    QStringList shown;
    for (auto* button : buttons)
        shown.append(button->isVisible() ? button->text() : QStringLiteral("(hidden)"));
    return shown;
}

// Drives the model along `road`; `atEnd` runs where the road ends (inside the
// save dialog for `exporting`, which is open only then).
bool drive(test::RecorderRig& rig, Road road, const std::function<void()>& atEnd)
{
    switch (road) {
    case Road::idle: break;
    case Road::countingDown:
        if (!rig.countDownTo(2))
            return false;
        break;
    case Road::recordingAnHour:
        if (!rig.countDownTo())
            return false;
        rig.clock->advance(3600s + 200ms);
        if (!rig.waitFor([&] { return rig.model->elapsedSeconds() >= 3600; }))
            return false;
        break;
    case Road::exporting:
        rig.desktop->whileModal = atEnd;
        return rig.recordAndStop(2, 0.25F);
    case Road::pending: return rig.recordAndStop(2, 0.25F) && (atEnd(), true);
    case Road::saved:
        rig.desktop->savePanelAnswers = {rig.exports.filePath(QStringLiteral("saved.mp4"))};
        return rig.recordAndStop(2, 0.25F) && (atEnd(), true);
    case Road::failed:
        rig.hardware->failCall(Call::createProcessTap, -7);
        rig.model->start();
        if (!rig.waitFor([&] { return rig.model->phase().kind() == RecorderPhase::Kind::failed; }))
            return false;
        break;
    case Road::failedWithPending:
        rig.desktop->savePanelAnswers = {rig.exports.filePath(QStringLiteral("missing/saved.mp4"))};
        return rig.recordAndStop(2, 0.25F) && (atEnd(), true);
    }
    atEnd();
    return true;
}

} // namespace

class ContentViewTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Each phase: what is drawn, where, what can be pressed and what a screen
    // reader hears. The pictures land in the build tree.
    void phases_data()
    {
        QTest::addColumn<int>("road");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("primary");  // "!" after a disabled one
        QTest::addColumn<QStringList>("secondary");
        QTest::addColumn<QString>("timeLabel");
        QTest::addColumn<bool>("footer");
        const QString reveal = QStringLiteral("在文件管理器中显示");
        QTest::newRow("idle") << int(Road::idle) << "准备好了" << "开始录制" << QStringList() << "录音时长 00:00" << true;
        QTest::newRow("countdown") << int(Road::countingDown) << "倒计时后开始录制" << "取消倒计时" << QStringList()
                                   << "还有 2 秒开始录制" << true;
        QTest::newRow("recording") << int(Road::recordingAnHour) << "正在录制系统声音" << "停止并导出"
                                   << QStringList() << "录音时长 01:00:00" << true;
        QTest::newRow("exporting") << int(Road::exporting) << "正在整理这段声音" << "正在保存录音…!" << QStringList()
                                   << "录音时长 00:00" << true;
        QTest::newRow("pending") << int(Road::pending) << "录音已保留，等待导出" << "再次导出"
                                 << QStringList({reveal, QStringLiteral("再次录制")}) << "录音时长 00:01" << false;
        QTest::newRow("saved") << int(Road::saved) << "录音已保存" << "再次录制" << QStringList({reveal})
                               << "录音时长 00:01" << false;
        QTest::newRow("failed") << int(Road::failed) << "录制没有完成" << "重新尝试"
                                << QStringList({QStringLiteral("打开声音设置")}) << "录音时长 00:00" << false;
        QTest::newRow("failed export") << int(Road::failedWithPending) << "录制没有完成" << "重新尝试"
                                       << QStringList({QStringLiteral("再次导出"), QStringLiteral("打开声音设置")})
                                       << "录音时长 00:00" << false;
    }
    void phases()
    {
        QFETCH(int, road);
        QFETCH(QString, status);
        QFETCH(QString, primary);
        QFETCH(QStringList, secondary);
        QFETCH(QString, timeLabel);
        QFETCH(bool, footer);

        test::RecorderRig rig;
        ContentView view(rig.model.get(), rig.desktop);
        view.show();
        bool checked = false;
        QVERIFY(drive(rig, Road(road), [&] {
            checked = true;
            QCOMPARE(view.statusLabel()->text(), status);
            QCOMPARE(view.primaryButton()->text() + (view.primaryButton()->isEnabled() ? "" : "!"), primary);
            QCOMPARE(accessibleName(view.primaryButton()), view.primaryButton()->text());
            QCOMPARE(titles(view.secondaryButtons()), secondary);
            QCOMPARE(accessibleName(view.timeDisplay()), timeLabel);
            QCOMPARE(view.footer()->isVisible(), footer);

            const bool failed = rig.model->phase().kind() == RecorderPhase::Kind::failed;
            QCOMPARE(view.noticeCard()->isVisible(), failed);
            if (failed) {
                // The card hangs 38 points into the canvas, with 24 below it.
                const QRect card = view.noticeCard()->geometry();
                QCOMPARE(card.left(), 100);
                QCOMPARE(card.width(), 568);
                QCOMPARE(card.top(), 512 - 38);
                QCOMPARE(view.height(), card.bottom() + 1 + 24);
                QCOMPARE(view.noticeCard()->message(), rig.model->phase().message());
            } else {
                QCOMPARE(view.size(), QSize(768, 512));
            }
            test::render(view, QStringLiteral("window-") + QString::fromUtf8(QTest::currentDataTag()));
        }));
        QVERIFY(checked);
    }

    // Where the elements sit on the canvas, by their centres.
    void elementsSitAtTheirPlaces()
    {
        test::RecorderRig rig;
        ContentView view(rig.model.get(), rig.desktop);
        const auto centre = [](QWidget* widget) { return QRectF(widget->geometry()).center(); };
        QCOMPARE(view.windowControls()->geometry(), QRect(151, 148, 76, 28));
        QCOMPARE(view.helpButton()->geometry(), QRect(527, 146, 36, 36));
        QCOMPARE(view.timeDisplay()->size(), QSize(355, 80));
        QCOMPARE(centre(view.timeDisplay()).y(), 259.0);
        QCOMPARE(view.titleBlock()->width(), 300);
        QCOMPARE(QRectF(view.primaryButton()->geometry().marginsRemoved(OrloPrimaryButton::shadowMargins())),
                 QRectF(265, 335, 310, 58));
        QCOMPARE(accessibleName(view.helpButton()), QStringLiteral("使用帮助"));
        QCOMPARE(view.helpButton()->toolTip(), QStringLiteral("使用帮助"));
        QCOMPARE(view.windowTitle(), QStringLiteral("Brisal录音"));
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
        QVERIFY(rig.waitForPhase(Phase::countingDown(3)));
        QVERIFY(rig.countDownTo());
        rig.deliver();
        view.primaryButton()->click();
        QVERIFY(rig.waitFor([&] { return rig.model->phase().kind() == RecorderPhase::Kind::finished; }));
        view.secondaryButtons().value(0)->click();
        QCOMPARE(rig.desktop->revealed, QStringList({rig.pending()}));
    }
};

QTEST_MAIN(ContentViewTest)
#include "tst_contentview.moc"
