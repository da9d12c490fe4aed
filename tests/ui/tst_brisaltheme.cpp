#include "ui/ReducedMotion.h"

#include <QTest>

using namespace vessaro;

class BrisalThemeTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Our own variable decides; without it, GNOME's animation switch does.
    void reducedMotion_data()
    {
        QTest::addColumn<QByteArray>("environment");
        QTest::addColumn<QByteArray>("gsettings");
        QTest::addColumn<bool>("reduced");
        QTest::newRow("GNOME animations off") << QByteArray() << QByteArray("false\n") << true;
        QTest::newRow("no GNOME") << QByteArray() << QByteArray() << false;
        QTest::newRow("ours asks") << QByteArray("1") << QByteArray("true\n") << true;
        QTest::newRow("ours refuses") << QByteArray("0") << QByteArray("false\n") << false;
    }
    void reducedMotion()
    {
        QFETCH(QByteArray, environment);
        QFETCH(QByteArray, gsettings);
        QFETCH(bool, reduced);
        QCOMPARE(ReducedMotion::decide(environment, [&] { return gsettings; }), reduced);
    }
};

QTEST_APPLESS_MAIN(BrisalThemeTest)
#include "tst_brisaltheme.moc"
