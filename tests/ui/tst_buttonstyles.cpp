#include "UiRender.h"

#include "ui/OrloPrimaryButton.h"
#include "ui/OrloSecondaryButton.h"

#include <QSignalSpy>
#include <QTest>

using namespace vessaro;

// The looks are in the renders; here, what a click does.
class ButtonStylesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void onlyTheCapsuleClicks()
    {
        OrloPrimaryButton button(QStringLiteral("开始录制"), QStringLiteral("record.circle"));
        button.placeCapsule(QRect(0, 0, 310, OrloPrimaryButton::heightPoints));
        test::render(button, QStringLiteral("primary-enabled"));
        QSignalSpy clicks(&button, &QAbstractButton::clicked);
        QTest::mouseClick(&button, Qt::LeftButton, {}, button.capsuleRect().center().toPoint());
        // The capsule's rounded end leaves its bounding box's corner out.
        QTest::mouseClick(&button, Qt::LeftButton, {}, button.capsuleRect().topLeft().toPoint() + QPoint(3, 3));
        QCOMPARE(clicks.count(), 1);
        button.setEnabled(false);
        test::render(button, QStringLiteral("primary-disabled"));
        OrloSecondaryButton secondary(QStringLiteral("再次录制"));
        secondary.resize(secondary.sizeHint());
        test::render(secondary, QStringLiteral("secondary-enabled"));
    }
};

QTEST_MAIN(ButtonStylesTest)
#include "tst_buttonstyles.moc"
