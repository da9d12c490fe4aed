#include "UiRender.h"

#include "ui/UsageSheet.h"

#include <QLabel>
#include <QLocale>
#include <QTest>

using namespace vessaro;

class UsageSheetTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }

    // Title and size of the recording, or no section at all (empty).
    void recordingSectionFollowsThePhase_data()
    {
        QTest::addColumn<RecorderPhase>("phase");
        QTest::addColumn<bool>("pending");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("failed") << RecorderPhase::failed(QStringLiteral("x")) << true << QStringList();
        // Decimal units: 1 234 567 bytes are 1.2 MB, not 1.2 MiB.
        QTest::newRow("pending") << RecorderPhase::finished(QStringLiteral("/c/recording-1.mp4"), { 12.5, 1'234'567 })
                                 << true << QStringList { "这段录音等待导出", "ALAC 无损 · 1.2 MB" };
        QTest::newRow("saved") << RecorderPhase::finished(QStringLiteral("/home/u/系统音频 1.mp4"), { 3, 999 }) << false
                               << QStringList { "系统音频 1.mp4", "ALAC 无损 · 999 bytes" };
    }
    void recordingSectionFollowsThePhase()
    {
        QFETCH(RecorderPhase, phase);
        QFETCH(bool, pending);
        QFETCH(QStringList, texts);
        UsageSheet sheet;
        sheet.showPhase(RecorderPhase::finished(QStringLiteral("/c/a.mp4"), { 1, 1 }), true);
        sheet.showPhase(phase, pending);
        sheet.show();
        QStringList shown;
        if (sheet.recordingSection()->isVisible())
            shown << sheet.recordingTitle()->text() << sheet.recordingSize()->text();
        QCOMPARE(shown, texts);
        test::render(sheet, QStringLiteral("usage-sheet-%1").arg(QTest::currentDataTag()));
    }
};

QTEST_MAIN(UsageSheetTest)
#include "tst_usagesheet.moc"
