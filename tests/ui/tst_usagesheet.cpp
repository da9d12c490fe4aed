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
        QTest::newRow("failed") << RecorderPhase::failed(QStringLiteral("x")) << true << QString() << QString();
        // Decimal units: 1 234 567 bytes are 1.2 MB, not 1.2 MiB.
        QTest::newRow("pending") << RecorderPhase::finished(QStringLiteral("/c/recording-1.mp4"), { 12.5, 1'234'567 })
                                 << true << QStringLiteral("这段录音等待导出") << QStringLiteral("ALAC 无损 · 1.2 MB");
        QTest::newRow("saved") << RecorderPhase::finished(QStringLiteral("/home/u/系统音频 1.mp4"), { 3, 999 }) << false
                               << QStringLiteral("系统音频 1.mp4") << QStringLiteral("ALAC 无损 · 999 bytes");
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
        QCOMPARE(sheet.recordingSection()->isVisible(), !title.isEmpty());
        QCOMPARE(sheet.recordingSection()->isVisible() ? sheet.recordingTitle()->text() : QString(), title);
        QCOMPARE(sheet.recordingSection()->isVisible() ? sheet.recordingSize()->text() : QString(), size);
        // As tall as its content.
        QCOMPARE(sheet.height() - sheet.childrenRect().bottom() - 1, UsageSheet::marginPoints);
        test::render(sheet, QStringLiteral("usage-sheet-%1").arg(QTest::currentDataTag()));
    }

    // "完成" and Escape close the sheet; "打开声音设置" and Return do not.
    void onlyDoneAndEscapeClose()
    {
        QWidget window;
        window.show();
        UsageSheet sheet(&window);
        QSignalSpy settings(&sheet, &UsageSheet::soundSettingsRequested);
        sheet.open();
        QVERIFY(QTest::qWaitForWindowExposed(&sheet));
        sheet.soundSettingsButton()->click();
        QTest::keyClick(&sheet, Qt::Key_Return);
        QVERIFY(sheet.isVisible());
        QCOMPARE(settings.count(), 1);
        QTest::keyClick(&sheet, Qt::Key_Escape);
        QVERIFY(!sheet.isVisible());
        sheet.open();
        sheet.doneButton()->click();
        QVERIFY(!sheet.isVisible());
    }
};

QTEST_MAIN(UsageSheetTest)
#include "tst_usagesheet.moc"
