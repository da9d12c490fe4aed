#include "UiRender.h"

#include "ui/OrloPrimaryButton.h"
#include "ui/OrloSecondaryButton.h"

#include <QSignalSpy>
#include <QTest>

using namespace vessaro;

class ButtonStylesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Enabled: a coral capsule with a coral shadow below; disabled: gray, without one.
    void primaryLooks()
    {
        for (const bool enabled : { true, false }) {
            QWidget page;
            test::paintWhite(page);
            page.resize(360, 110);
            OrloPrimaryButton button(QStringLiteral("停止并导出"), QStringLiteral("stop.fill"), &page);
            button.placeCapsule(QRect(25, 20, 310, OrloPrimaryButton::heightPoints));
            button.setEnabled(enabled);
            const QImage image = test::render(page, enabled ? "primary-enabled" : "primary-disabled");
            const QColor fill = image.pixelColor(60, 50);
            QCOMPARE(fill.red() - fill.green() > 60, enabled);
            const QColor under = image.pixelColor(180, 83);
            QCOMPARE(under != QColor(Qt::white) && under.red() > under.green(), enabled);
        }
    }

    void primaryPressShrinksAndOnlyTheCapsuleClicks()
    {
        OrloPrimaryButton button(QStringLiteral("开始录制"), QStringLiteral("record.circle"));
        button.placeCapsule(QRect(0, 0, 310, OrloPrimaryButton::heightPoints));
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
        QTest::mouseClick(&button, Qt::LeftButton, {}, centre);
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(button.currentScale(), 1.0);
    }

    // As small as the margins around the text allow; pressed, the capsule
    // darkens; disabled, the text fades.
    void secondaryLooks()
    {
        QWidget page;
        test::paintWhite(page);
        OrloSecondaryButton button(QStringLiteral("再次录制"), &page);
        QCOMPARE(button.sizeHint().width(), button.fontMetrics().horizontalAdvance(button.text()) + 24);
        button.resize(button.sizeHint());
        page.resize(button.size());
        const auto lightness = [&](const char* name) {
            const QImage image = test::render(page, QStringLiteral("secondary-") + QLatin1String(name));
            int darkest = 255;
            for (int x = 12; x < image.width() - 12; ++x)
                for (int y = 0; y < image.height(); ++y)
                    darkest = std::min(darkest, image.pixelColor(x, y).lightness());
            return std::pair(image.pixelColor(8, image.height() / 2).lightness(), darkest);
        };
        const auto [restingFill, restingInk] = lightness("enabled");
        button.setDown(true);
        QVERIFY(lightness("pressed").first < restingFill);
        button.setDown(false);
        button.setEnabled(false);
        QVERIFY(lightness("disabled").second > restingInk + 40);
    }
};

QTEST_MAIN(ButtonStylesTest)
#include "tst_buttonstyles.moc"
