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
    // The card grows with its message, then scrolls.
    void heightFollowsTheMessageUpTo150_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("scrolls");
        QTest::newRow("short") << QStringLiteral("导出的 MP4 是空文件。") << false;
        QTest::newRow("long") << QStringLiteral("没有收到系统音频。请确认声音服务正在运行。").repeated(16) << true;
    }
    void heightFollowsTheMessageUpTo150()
    {
        QFETCH(QString, message);
        QFETCH(bool, scrolls);
        NoticeCard card;
        card.setGeometry(20, 20, 568, 10);
        card.setMessage(message);
        card.show();
        QVERIFY(QTest::qWaitForWindowExposed(&card));
        QCOMPARE(card.height() == NoticeCard::maximumHeightPoints, scrolls);
        QCOMPARE(card.scrollArea()->verticalScrollBar()->isVisible(), scrolls);
        test::render(card, QStringLiteral("notice-card-") + QString::fromUtf8(QTest::currentDataTag()));
        QSignalSpy asked(&card, &NoticeCard::usageRequested);
        card.usageButton()->click();
        QCOMPARE(asked.count(), 1);
    }
};

QTEST_MAIN(NoticeCardTest)
#include "tst_noticecard.moc"
