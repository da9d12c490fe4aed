// The intake monitor on scripted looks, one every half second, at 1000 frames a second: what it reports lost, and when.

#include "capture/hal/IntakeMonitor.h"

#include <QTest>

#include <cstdlib>

using namespace vessaro;

class TestIntakeMonitor : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void reportsWhatTheStreamFailedToDeliver_data()
    {
        // Frames received by each look, negative where a new stream begins; the frames each look reports lost.
        QTest::addColumn<QList<int>>("received");
        QTest::addColumn<QList<int>>("lost"); // empty: none
        // Measured from the second look that finds frames; the tolerance is 252 frames a second into the
        // measure, 253 after one and a half.
        QTest::newRow("steady") << QList { 0, 100, 200, 700, 1200 } << QList<int> {};
        QTest::newRow("one look behind is a backlog") << QList { 100, 200, 700, 900, 1700 } << QList<int> {};
        QTest::newRow("two looks behind, told once")
            << QList { 100, 200, 700, 900, 1400, 1400 } << QList { 0, 0, 0, 0, 300, 0 };
        QTest::newRow("within the tolerance") << QList { 100, 200, 700, 948, 1448 } << QList<int> {};
        QTest::newRow("just beyond it") << QList { 100, 200, 700, 947, 1446 } << QList { 0, 0, 0, 0, 254 };
        QTest::newRow("a first burst is not the base") << QList { 0, 5000, 5100, 5600, 6100 } << QList<int> {};
        QTest::newRow("a new stream is measured afresh")
            << QList { 100, 200, 700, -50, 100, 600, 1100 } << QList<int> {};
        QTest::newRow("a loss told stays told")
            << QList { 100, 200, 200, 200, -50, 100, 100, 100 } << QList { 0, 0, 0, 1000, 0, 0, 0, 0 };
    }
    void reportsWhatTheStreamFailedToDeliver()
    {
        QFETCH(QList<int>, received);
        QFETCH(QList<int>, lost);
        constexpr std::uint64_t bytesPerFrame = 8;
        IntakeMonitor monitor(1000, bytesPerFrame);
        QList<int> reported;
        for (int look = 0; look < received.size(); ++look) {
            if (received[look] < 0)
                monitor.restart();
            const auto at = IntakeMonitor::Clock::time_point() + std::chrono::milliseconds(500 * look);
            const auto bytes = std::uint64_t(std::abs(received[look])) * bytesPerFrame;
            reported.append(int(monitor.look(bytes, at).value_or(0) / bytesPerFrame));
        }
        QCOMPARE(reported, lost.isEmpty() ? QList<int>(received.size(), 0) : lost);
    }
};

QTEST_GUILESS_MAIN(TestIntakeMonitor)
#include "tst_intakemonitor.moc"
