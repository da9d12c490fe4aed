#include "UiRender.h"

#include "ui/NoticeCard.h"
#include "ui/OrloSecondaryButton.h"

#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

using namespace vessaro;

class NoticeCardTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The card grows with its message up to its limit, then scrolls.
    void longMessagesScroll_data()
    {
        QTest::addColumn<int>("repeats");
        QTest::newRow("short") << 1;
        QTest::newRow("long") << 16;
    }
    void longMessagesScroll()
    {
        QFETCH(int, repeats);
        NoticeCard card;
        card.setGeometry(20, 20, 568, 10);
        card.setMessage(QStringLiteral("没有收到系统音频。请确认声音服务正在运行。").repeated(repeats));
        card.show();
        QVERIFY(QTest::qWaitForWindowExposed(&card));
        QCOMPARE(card.height() == NoticeCard::maximumHeightPoints, repeats > 1);
        QCOMPARE(card.scrollArea()->verticalScrollBar()->isVisible(), repeats > 1);
        test::render(card, QStringLiteral("notice-card-") + QString::fromUtf8(QTest::currentDataTag()));
        QSignalSpy asked(&card, &NoticeCard::usageRequested);
        card.usageButton()->click();
        QCOMPARE(asked.count(), 1);
    }
};

QTEST_MAIN(NoticeCardTest)
#include "tst_noticecard.moc"
