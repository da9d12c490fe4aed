#include "UiRender.h"

#include "ui/BrisalTheme.h"
#include "ui/StatusSymbol.h"
#include "ui/TimeDisplay.h"

#include <QTest>

using namespace vessaro;

class TimeDisplayTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The digits hold still for less motion (the symbol: in the window's test). The symbol's meter rises at once and
    // falls a step at a time; hidden, or in a minimised window, it stops: it would repaint for nobody.
    void motionStopsWhenReduced()
    {
        TimeDisplay display;
        display.show();
        display.setReduceMotion(false);
        display.setText(QStringLiteral("00:01"));
        QVERIFY(display.isRolling());
        display.setReduceMotion(true);
        display.setText(QStringLiteral("01:00:02"));
        QVERIFY(!display.isRolling());
        test::render(display, QStringLiteral("time-hours"));

        StatusSymbol symbol(QStringLiteral("record.circle.fill"), BrisalTheme::coral());
        symbol.show();
        symbol.setReduceMotion(false);
        symbol.setPulsing(true);
        QCOMPARE(symbol.currentOpacity(), StatusSymbol::faintestOpacity); // silence
        symbol.setLevel(1);
        symbol.setLevel(0.2F); // -14 dB: a step down, after a while
        QCOMPARE(symbol.currentOpacity(), 1.0);
        QTRY_COMPARE(symbol.currentOpacity(), StatusSymbol::faintestOpacity + 0.65 * 3 / 4);
        symbol.hide();
        QVERIFY(!symbol.isPulsing());
        symbol.show();
        QVERIFY(symbol.isPulsing());
        test::render(symbol, QStringLiteral("status-recording"));
    }
};

QTEST_MAIN(TimeDisplayTest)
#include "tst_timedisplay.moc"
