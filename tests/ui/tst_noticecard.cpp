#include "UiRender.h"

#include "ui/BrisalTheme.h"
#include "ui/NoticeCard.h"
#include "ui/OrloSecondaryButton.h"

#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

using namespace vessaro;

class NoticeCardTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void heightFollowsTheMessageUpTo150_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("scrolls");
        QTest::newRow("one line") << QStringLiteral("导出的 MP4 是空文件。") << false;
        QTest::newRow("many lines")
            << QStringLiteral("没有收到系统音频。请确认声音服务正在运行，并确认电脑正在播放声音。").repeated(12)
            << true;
    }

    void heightFollowsTheMessageUpTo150()
    {
        QFETCH(QString, message);
        QFETCH(bool, scrolls);
        QWidget page;
        test::paintWhite(page);
        page.resize(608, 200);
        NoticeCard card(&page);
        card.setGeometry(20, 20, 568, 10);
        card.setMessage(message);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        const QFontMetrics metrics(BrisalTheme::systemFont(13));
        const int oneLine = 2 * NoticeCard::marginPoints + metrics.height() + NoticeCard::spacingPoints
            + card.usageButton()->sizeHint().height();
        QCOMPARE(card.height(), scrolls ? NoticeCard::maximumHeightPoints : oneLine);
        QCOMPARE(card.scrollArea()->verticalScrollBar()->isVisible(), scrolls);
        QCOMPARE(card.usageButton()->pos(), QPoint(NoticeCard::marginPoints, card.usageButton()->y()));

        const QImage image
            = test::render(page, scrolls ? QStringLiteral("notice-card-long") : QStringLiteral("notice-card-short"));
        // The outline on the left edge, the cream inside, the page beyond the rounded corner.
        const int middle = 20 + card.height() / 2;
        QVERIFY(test::near(image.pixelColor(20, middle), test::over(BrisalTheme::blue(), 0.1, Qt::white), 8));
        QVERIFY(test::near(image.pixelColor(25, middle), BrisalTheme::cream(), 1));
        QCOMPARE(image.pixelColor(21, 21), QColor(Qt::white));
    }

    void usageButtonAsksForTheHelpSheet()
    {
        NoticeCard card;
        QSignalSpy asked(&card, &NoticeCard::usageRequested);
        card.usageButton()->click();
        QCOMPARE(asked.count(), 1);
    }
};

QTEST_MAIN(NoticeCardTest)
#include "tst_noticecard.moc"
