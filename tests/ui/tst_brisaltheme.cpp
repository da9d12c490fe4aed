#include "base/RecorderError.h"
#include "ui/BrisalTheme.h"
#include "ui/BrisalWindowControls.h"
#include "ui/NoticeCard.h"
#include "ui/ReducedMotion.h"
#include "ui/UsageSheet.h"

#include <QAbstractButton>
#include <QLabel>
#include <QTest>

using namespace vessaro;

class BrisalThemeTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
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

    // Every text the interface shows has a glyph for every character in the
    // faces we draw with (their fallbacks included).
    void noTextDrawsAMissingGlyph()
    {
        QStringList texts;
        UsageSheet sheet;
        sheet.showPhase(RecorderPhase::finished(QStringLiteral("/m/系统音频 2027-01-15 08.00.03.mp4"), { 1, 2 }), true);
        NoticeCard card;
        card.setMessage(RecorderError::noAudioReceived().localizedDescription());
        BrisalWindowControls controls;
        for (QWidget* root : std::initializer_list<QWidget*> { &sheet, &card, &controls }) {
            for (QWidget* widget : root->findChildren<QWidget*>()) {
                if (auto* label = qobject_cast<QLabel*>(widget))
                    texts << label->text();
                if (auto* button = qobject_cast<QAbstractButton*>(widget))
                    texts << button->text();
                texts << widget->accessibleName() << widget->toolTip();
            }
        }
        texts << RecorderError::captureFailed(QStringLiteral("创建系统音频采集"), -1).localizedDescription()
              << RecorderError::writerStartFailed(QString()).localizedDescription();
        const QFontMetrics faces[] = { QFontMetrics(BrisalTheme::systemFont(13)),
            QFontMetrics(BrisalTheme::roundedFont(19, QFont::DemiBold)) };
        for (const QString& text : texts)
            for (const QChar c : text)
                for (const QFontMetrics& face : faces)
                    QVERIFY2(c.isSpace() || face.inFont(c), qPrintable(text));
    }
};

QTEST_MAIN(BrisalThemeTest)
#include "tst_brisaltheme.moc"
