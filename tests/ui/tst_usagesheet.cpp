#include "UiRender.h"

#include "ui/OrloSecondaryButton.h"
#include "ui/UsageSheet.h"

#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace vessaro;

class UsageSheetTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }

    void recordingSectionFollowsThePhase_data()
    {
        QTest::addColumn<RecorderPhase>("phase");
        QTest::addColumn<bool>("pending");
        QTest::addColumn<QString>("title"); // empty: no recording section
        QTest::addColumn<QString>("size");
        const RecordingSummary summary { 12.5, 1'234'567 };
        const QString saved = QStringLiteral("/home/u/音乐/系统音频 2027-01-15 08.00.03.mp4");
        QTest::newRow("failed") << RecorderPhase::failed(QStringLiteral("x")) << true << QString() << QString();
        // Decimal units: 1 234 567 bytes are 1.2 MB, not 1.2 MiB.
        QTest::newRow("pending") << RecorderPhase::finished(QStringLiteral("/c/recording-1.mp4"), summary) << true
                                 << QStringLiteral("这段录音等待导出") << QStringLiteral("ALAC 无损 · 1.2 MB");
        QTest::newRow("saved") << RecorderPhase::finished(saved, { 3, 999 }) << false
                               << QStringLiteral("系统音频 2027-01-15 08.00.03.mp4")
                               << QStringLiteral("ALAC 无损 · 999 bytes");
    }

    void recordingSectionFollowsThePhase()
    {
        QFETCH(RecorderPhase, phase);
        QFETCH(bool, pending);
        QFETCH(QString, title);
        QFETCH(QString, size);
        UsageSheet sheet;
        sheet.showPhase(RecorderPhase::finished(QStringLiteral("/c/a.mp4"), { 1, 1 }), true);
        sheet.showPhase(phase, pending);
        sheet.show();
        QCOMPARE(sheet.width(), 510);
        QCOMPARE(sheet.recordingSection()->isVisible(), !title.isEmpty());
        if (!title.isEmpty()) {
            QCOMPARE(sheet.recordingTitle()->text(), title);
            QCOMPARE(sheet.recordingSize()->text(), size);
        }
        // As tall as its content: the last box ends 28 points above the edge.
        const QRect content = sheet.childrenRect();
        QCOMPARE(sheet.height() - content.bottom() - 1, UsageSheet::marginPoints);
        QCOMPARE(content.top(), UsageSheet::marginPoints);
        test::render(sheet, QStringLiteral("usage-sheet-%1").arg(QTest::currentDataTag()));
    }

    void doneAndEscapeCloseSoundSettingsDoesNot_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("完成") << 0;
        QTest::newRow("Escape") << 1;
        QTest::newRow("打开声音设置") << 2;
    }

    void doneAndEscapeCloseSoundSettingsDoesNot()
    {
        QFETCH(int, how);
        QWidget window;
        window.show();
        UsageSheet sheet(&window);
        QSignalSpy settings(&sheet, &UsageSheet::soundSettingsRequested);
        QSignalSpy finished(&sheet, &QDialog::finished);
        sheet.open();
        QVERIFY(QTest::qWaitForWindowExposed(&sheet));
        QVERIFY(sheet.isModal());
        if (how == 0)
            sheet.doneButton()->click();
        else if (how == 1)
            QTest::keyClick(&sheet, Qt::Key_Escape);
        else
            sheet.soundSettingsButton()->click();
        QCOMPARE(sheet.isVisible(), how == 2);
        QCOMPARE(finished.count(), how == 2 ? 0 : 1);
        QCOMPARE(settings.count(), how == 2 ? 1 : 0);
        // Return is not a shortcut for "完成".
        if (how == 2) {
            QTest::keyClick(&sheet, Qt::Key_Return);
            QVERIFY(sheet.isVisible());
        }
    }
};

QTEST_MAIN(UsageSheetTest)
#include "tst_usagesheet.moc"
