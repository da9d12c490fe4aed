#include "UiRender.h"

#include "base/RecorderError.h"
#include "ui/BrisalTheme.h"
#include "ui/BrisalWindowControls.h"
#include "ui/NoticeCard.h"
#include "ui/ReducedMotion.h"
#include "ui/SymbolImage.h"
#include "ui/UsageSheet.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPainter>
#include <QTest>

using namespace vessaro;

class BrisalThemeTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The window's artwork and every symbol are found and drawn.
    void artworkAndSymbolsDraw()
    {
        const std::optional<QImage>& shell = BrisalTheme::shell();
        QVERIFY(shell);
        QCOMPARE(shell->size(), QSize(1536, 1024));
        const QStringList names = { "record.circle", "record.circle.fill", "xmark", "hourglass", "stop.fill",
            "square.and.arrow.down", "tray.and.arrow.down", "checkmark.circle.fill", "exclamationmark.circle.fill",
            "arrow.clockwise", "gearshape", "speaker.wave.2", "timer", "waveform", "lock.shield" };
        QImage sheet(24 * int(names.size()), 24, QImage::Format_ARGB32);
        sheet.fill(Qt::white);
        QPainter painter(&sheet);
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QImage symbol = SymbolImage::render(names[i], 24, BrisalTheme::coral(), 1.0);
            QVERIFY2(!symbol.isNull(), qPrintable(names[i]));
            painter.drawImage(24 * int(i), 0, symbol);
        }
        painter.end();
        sheet.save(QStringLiteral(VESSARO_UI_RENDERS "/symbols.png"));
    }

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
