#include "UiRender.h"

#include "ui/BrisalTheme.h"
#include "ui/OrloPrimaryButton.h"
#include "ui/OrloSecondaryButton.h"

#include <QSignalSpy>
#include <QTest>

using namespace vessaro;

class ButtonStylesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void primaryLooks_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QColor>("top");
        QTest::addColumn<QColor>("bottom");
        QTest::addColumn<bool>("shadow");
        const QColor gray = BrisalTheme::gray();
        QTest::newRow("enabled") << true << QColor::fromRgbF(1.0F, 0.4F, 0.44F) << BrisalTheme::coral() << true;
        QTest::newRow("disabled") << false << test::over(gray, 0.55, Qt::white) << test::over(gray, 0.7, Qt::white)
                                  << false;
    }

    void primaryLooks()
    {
        QFETCH(bool, enabled);
        QFETCH(QColor, top);
        QFETCH(QColor, bottom);
        QFETCH(bool, shadow);
        QWidget page;
        test::paintWhite(page);
        page.resize(360, 110);
        OrloPrimaryButton button(QStringLiteral("停止并导出"), QStringLiteral("stop.fill"), &page);
        button.placeCapsule(QRect(25, 20, 310, OrloPrimaryButton::heightPoints));
        button.setEnabled(enabled);
        QCOMPARE(button.capsuleRect(), QRectF(12, 7, 310, 58));
        const QImage image = test::render(page, enabled ? "primary-enabled" : "primary-disabled");
        // Left of the label, just inside the outline at the top and bottom.
        QVERIFY(test::near(image.pixelColor(60, 24), top, 12));
        QVERIFY(test::near(image.pixelColor(60, 74), bottom, 12));
        // The white outline inset by one point lightens the fill beside it.
        QVERIFY(image.pixelColor(26, 49).lightness() > image.pixelColor(33, 49).lightness());
        // Below the capsule: coral shadow, or the page.
        const QColor under = image.pixelColor(180, 83);
        QCOMPARE(under != QColor(Qt::white), shadow);
        QVERIFY(!shadow || under.red() > under.green()); // coral-tinted
    }

    void primaryPressShrinksAndOnlyTheCapsuleClicks()
    {
        OrloPrimaryButton button(QStringLiteral("开始录制"), QStringLiteral("record.circle"));
        button.placeCapsule(QRect(0, 0, 310, OrloPrimaryButton::heightPoints));
        QSignalSpy clicks(&button, &QAbstractButton::clicked);
        const QPoint centre = button.capsuleRect().center().toPoint();
        QTest::mousePress(&button, Qt::LeftButton, {}, centre);
        QCOMPARE(button.currentScale(), 1.0);
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

    void secondaryLooks_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("pressed");
        QTest::addColumn<double>("fillOpacity");
        QTest::addColumn<double>("textOpacity");
        QTest::newRow("enabled") << true << false << 0.065 << 1.0;
        QTest::newRow("pressed") << true << true << 0.13 << 1.0;
        QTest::newRow("disabled") << false << false << 0.065 << 0.45;
    }

    void secondaryLooks()
    {
        QFETCH(bool, enabled);
        QFETCH(bool, pressed);
        QFETCH(double, fillOpacity);
        QFETCH(double, textOpacity);
        QWidget page;
        test::paintWhite(page);
        OrloSecondaryButton button(QStringLiteral("再次录制"), &page);
        button.setEnabled(enabled);
        button.setDown(pressed);
        button.resize(button.sizeHint());
        page.resize(button.size());
        const QFontMetrics metrics(BrisalTheme::systemFont(13, QFont::Medium));
        QCOMPARE(button.sizeHint().width(), metrics.horizontalAdvance(button.text()) + 24);
        const QImage image = test::render(page, QStringLiteral("secondary-%1").arg(QTest::currentDataTag()));
        const int middle = image.height() / 2;
        QVERIFY(test::near(image.pixelColor(8, middle), test::over(BrisalTheme::blue(), fillOpacity, Qt::white), 2));
        // The darkest ink of the text: full blue, or faded to 45 %.
        QColor darkest = Qt::white;
        for (int x = 12; x < image.width() - 12; ++x)
            for (int y = 0; y < image.height(); ++y)
                if (image.pixelColor(x, y).lightness() < darkest.lightness())
                    darkest = image.pixelColor(x, y);
        const QColor background = test::over(BrisalTheme::blue(), fillOpacity, Qt::white);
        QVERIFY(test::near(darkest, test::over(BrisalTheme::blue(), textOpacity, background), 14));
    }
};

QTEST_MAIN(ButtonStylesTest)
#include "tst_buttonstyles.moc"
