#include "UiRender.h"

#include "ui/BrisalTheme.h"
#include "ui/ProgressSpinner.h"
#include "ui/StatusSymbol.h"
#include "ui/TimeDisplay.h"

#include <QAccessible>
#include <QRegularExpression>
#include <QTest>

using namespace vessaro;

namespace {

// Where each run of inked columns starts.
QList<int> inkColumns(const QImage& image)
{
    QList<int> starts;
    bool inInk = false;
    for (int x = 0; x < image.width(); ++x) {
        bool inked = false;
        for (int y = 0; y < image.height() && !inked; ++y)
            inked = image.pixelColor(x, y).lightness() < 128; // dark ink on the light window
        if (inked && !inInk)
            starts << x;
        inInk = inked;
    }
    return starts;
}

} // namespace

class TimeDisplayTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void digitsKeepTheirPlaces_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("pixelSize");
        QTest::newRow("minutes") << QStringLiteral("59:59") << 66;
        QTest::newRow("hours") << QStringLiteral("01:00:00") << 52;
    }

    void digitsKeepTheirPlaces()
    {
        QFETCH(QString, text);
        QFETCH(int, pixelSize);
        TimeDisplay display;
        display.setReduceMotion(true);
        display.setText(text);
        QCOMPARE(display.fontPixelSize(), pixelSize);
        const QImage image = test::render(display, QStringLiteral("time-%1").arg(QTest::currentDataTag()));
        QVERIFY(!inkColumns(image).isEmpty());
        // Ones and eights put every glyph in the same place: each digit has a
        // cell of one width. (Single-run glyphs: run i is character i.)
        QString ones = text;
        QString eights = text;
        ones.replace(QRegularExpression(QStringLiteral("\\d")), QStringLiteral("1"));
        eights.replace(QRegularExpression(QStringLiteral("\\d")), QStringLiteral("8"));
        display.setText(ones);
        const QList<int> onesRuns = inkColumns(display.grab().toImage());
        display.setText(eights);
        const QList<int> eightsRuns = inkColumns(display.grab().toImage());
        QCOMPARE(onesRuns.size(), text.size());
        QCOMPARE(eightsRuns.size(), text.size());
        for (qsizetype i = 0; i < text.size(); ++i)
            if (!text[i].isDigit())
                QVERIFY(std::abs(onesRuns[i] - eightsRuns[i]) <= 1);
    }

    void rollsUnlessMotionIsReduced()
    {
        TimeDisplay display;
        display.setReduceMotion(false);
        display.setText(QStringLiteral("00:01"));
        QVERIFY(display.isRolling());
        QTRY_VERIFY_WITH_TIMEOUT(!display.isRolling(), 500);
        display.setText(QStringLiteral("01:00:00")); // a new length does not roll
        QVERIFY(!display.isRolling());
        display.setReduceMotion(true);
        display.setText(QStringLiteral("01:00:01"));
        QVERIFY(!display.isRolling());
        QCOMPARE(display.text(), QStringLiteral("01:00:01"));
    }

    void onlyThePulseStopsForReducedMotion()
    {
        StatusSymbol symbol(QStringLiteral("record.circle.fill"), BrisalTheme::coral());
        symbol.setReduceMotion(false);
        symbol.setPulsing(true);
        QVERIFY(symbol.isPulsing());
        QTRY_VERIFY(symbol.currentOpacity() < 0.9);
        symbol.setReduceMotion(true);
        QVERIFY(!symbol.isPulsing());
        QCOMPARE(symbol.currentOpacity(), 1.0);
        test::render(symbol, QStringLiteral("status-recording"));

        qputenv("VESSARO_REDUCE_MOTION", "1");
        ProgressSpinner spinner;
        spinner.show();
        QVERIFY(spinner.isSpinning());
        test::render(spinner, QStringLiteral("spinner"));
        spinner.hide();
        QVERIFY(!spinner.isSpinning());
    }
};

QTEST_MAIN(TimeDisplayTest)
#include "tst_timedisplay.moc"
