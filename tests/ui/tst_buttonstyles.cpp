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
    void primaryPressShrinksAndOnlyTheCapsuleClicks()
    {
        OrloPrimaryButton button(QStringLiteral("开始录制"), QStringLiteral("record.circle"));
        button.placeCapsule(QRect(0, 0, 310, OrloPrimaryButton::heightPoints));
        test::render(button, QStringLiteral("primary-enabled"));
        QSignalSpy clicks(&button, &QAbstractButton::clicked);
        const QPoint centre = button.capsuleRect().center().toPoint();
        QTest::mousePress(&button, Qt::LeftButton, {}, centre);
        QTRY_COMPARE_WITH_TIMEOUT(button.currentScale(), OrloPrimaryButton::pressedScale, 400);
        QTest::mouseRelease(&button, Qt::LeftButton, {}, centre);
        QTRY_COMPARE_WITH_TIMEOUT(button.currentScale(), 1.0, 400);
        QCOMPARE(clicks.count(), 1);
        // The capsule's rounded end leaves its bounding box's corner out.
        QTest::mouseClick(&button, Qt::LeftButton, {}, button.capsuleRect().topLeft().toPoint() + QPoint(3, 3));
        button.setEnabled(false);
        test::render(button, QStringLiteral("primary-disabled"));
        QTest::mouseClick(&button, Qt::LeftButton, {}, centre);
        QCOMPARE(clicks.count(), 1);
    }

    // As small as the margins around the text allow.
    void secondaryFitsItsText()
    {
        OrloSecondaryButton button(QStringLiteral("再次录制"));
        QCOMPARE(button.sizeHint().width(), button.fontMetrics().horizontalAdvance(button.text()) + 24);
        button.resize(button.sizeHint());
        test::render(button, QStringLiteral("secondary-enabled"));
    }
};

QTEST_MAIN(ButtonStylesTest)
#include "tst_buttonstyles.moc"
