#include "UiRender.h"

#include "ui/BrisalTheme.h"
#include "ui/StatusSymbol.h"
#include "ui/TimeDisplay.h"

#include <QRegularExpression>
#include <QTest>

using namespace vessaro;

namespace {

// Where each run of dark columns starts, for `text` on the display.
QList<int> inkColumns(TimeDisplay& display, const QString& text)
{
    display.setText(text);
    const QImage image = display.grab().toImage();
    QList<int> starts;
    bool inInk = false;
    for (int x = 0; x < image.width(); ++x) {
        bool inked = false;
        for (int y = 0; y < image.height() && !inked; ++y)
            inked = image.pixelColor(x, y).lightness() < 128;
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
    // Ones and eights put the colons in the same place: every digit has a
    // cell of one width, so the clock does not jitter as it counts.
    void digitsKeepTheirPlaces_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("minutes") << QStringLiteral("59:59");
        QTest::newRow("hours") << QStringLiteral("01:00:00");
    }
    void digitsKeepTheirPlaces()
    {
        QFETCH(QString, text);
        TimeDisplay display;
        display.setReduceMotion(true);
        display.setText(text);
        test::render(display, QStringLiteral("time-%1").arg(QTest::currentDataTag()));
        QString ones = text;
        QString eights = text;
        const QList<int> onesRuns = inkColumns(display, ones.replace(QRegularExpression(QStringLiteral("\\d")), "1"));
        const QList<int> eightsRuns
            = inkColumns(display, eights.replace(QRegularExpression(QStringLiteral("\\d")), "8"));
        QCOMPARE(onesRuns.size(), text.size());
        QCOMPARE(eightsRuns.size(), text.size());
        for (qsizetype i = 0; i < text.size(); ++i)
            if (!text[i].isDigit())
                QVERIFY(std::abs(onesRuns[i] - eightsRuns[i]) <= 1);
    }

    void motionStopsWhenReduced()
    {
        TimeDisplay display;
        display.setReduceMotion(false);
        display.setText(QStringLiteral("00:01"));
        QVERIFY(display.isRolling());
        display.setReduceMotion(true);
        display.setText(QStringLiteral("00:02"));
        QVERIFY(!display.isRolling());

        StatusSymbol symbol(QStringLiteral("record.circle.fill"), BrisalTheme::coral());
        symbol.setReduceMotion(false);
        symbol.setPulsing(true);
        QTRY_VERIFY(symbol.currentOpacity() < 0.9);
        symbol.setReduceMotion(true);
        QCOMPARE(symbol.currentOpacity(), 1.0);
        test::render(symbol, QStringLiteral("status-recording"));
    }
};

QTEST_MAIN(TimeDisplayTest)
#include "tst_timedisplay.moc"
