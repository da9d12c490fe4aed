// The capture driver over the simulated hardware: its state table, the order
// of its platform calls and what each failed call leaves held.

#include "capture/CoreAudioTapDriver.h"
#include "support/SimulatedAudioHardware.h"

#include <QTest>

using namespace vessaro;
using Call = SimulatedAudioHardware::Call;

namespace {

struct Rig {
    std::unique_ptr<SimulatedAudioHardware> owned = std::make_unique<SimulatedAudioHardware>();
    SimulatedAudioHardware* hardware = owned.get();
    CoreAudioTapDriver driver { std::move(owned) };

    Result<void> start()
    {
        return driver.start([this](const AudioBufferList*) { ++received; }, {}, {});
    }
    int received = 0;
};

// The status of a capture failure, 0 on success, -1 for any other error.
std::int32_t statusOf(const Result<void>& result)
{
    if (result)
        return 0;
    const RecorderError* error = result.error().recorderError();
    return error && error->kind() == RecorderError::Case::captureFailed ? error->status() : -1;
}

// The status a call fails with: its own, so that a test sees which failure is reported.
constexpr auto failure = [](Call call) { return std::int32_t(-100 - int(call)); };

QStringList names(const QList<Call>& calls)
{
    QStringList names;
    for (Call call : calls)
        names.append(SimulatedAudioHardware::callName(call));
    return names;
}

} // namespace

class CoreAudioTapDriverTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Each prepare names a new device that wraps the tap just made; blocks
    // reach the callback only while started.
    void aCycle()
    {
        Rig rig;
        QVERIFY(rig.driver.prepare());
        QVERIFY(rig.driver.prepare());
        const auto devices = rig.hardware->deviceDescriptions();
        QCOMPARE(devices[1].taps.value(0).uid, rig.hardware->tapDescriptions()[1].uuid);
        QVERIFY(devices[1].uid.startsWith(QLatin1String(CoreAudioTapDriver::applicationPrefix)));
        QVERIFY(devices[1].uid != devices[0].uid);
        QCOMPARE(rig.driver.format(), AudioStreamBasicDescription::stereoFloat(48000));
        QVERIFY(rig.start());
        AudioBufferList list;
        QVERIFY(rig.hardware->deliver(&list));
        QVERIFY(rig.driver.stop());
        QVERIFY(!rig.hardware->deliver(&list));
        QCOMPARE(rig.received, 1);
    }

    // The state table's calls: a second prepare tears the first down. A
    // failed prepare undoes what came before it, and a failing undo is what
    // is reported; start() is refused outside the prepared state and changes
    // nothing. A stop tries every release whatever failed and reports the
    // first failure; a handle whose release failed is kept. The next stop
    // releases everything.
    void failures_data()
    {
        QTest::addColumn<QString>("steps"); // p: prepare, s: start, x: stop; the last one is checked
        // Calls that fail once each, with failure(call); the first one's is reported.
        QTest::addColumn<QList<int>>("failing");
        QTest::addColumn<QStringList>("calls"); // those of the last step
        QTest::addColumn<Diagnostics>("after");
        const Diagnostics fresh { QStringLiteral("Simulated") };
        const auto left = [](std::uint32_t tap, std::uint32_t device, bool io = false, bool running = false) {
            return Diagnostics { QStringLiteral("Simulated"), tap, device, io, running, 48000 };
        };
        const auto fail = [](auto... calls) { return QList<int> { int(calls)... }; };
        const QStringList stop = names({ Call::deviceStop, Call::destroyIOProc, Call::destroyAggregateDevice,
            Call::destroyProcessTap, Call::drainAudioQueue });
        const QStringList prepare = names({ Call::drainAudioQueue, Call::createProcessTap, Call::readTapFormat,
            Call::createAggregateDevice, Call::destroyProcessTap, Call::drainAudioQueue });
        QTest::newRow("stop, fresh") << "x" << fail() << names({ Call::drainAudioQueue }) << fresh;
        QTest::newRow("prepare twice") << "pp" << fail() << stop.mid(2, 2) + prepare.mid(0, 4) << left(102, 103);
        QTest::newRow("stop") << "psx" << fail() << stop << left(0, 0);
        QTest::newRow("prepare: tap") << "p" << fail(Call::createProcessTap)
                                      << QStringList { prepare[0], prepare[1], prepare[5] } << fresh;
        QTest::newRow("prepare: device") << "p" << fail(Call::createAggregateDevice) << prepare << left(0, 0);
        QTest::newRow("prepare: device, and its undo")
            << "p" << fail(Call::destroyProcessTap, Call::createAggregateDevice) << prepare << left(100, 0);
        QTest::newRow("start: not prepared") << "s" << fail() << QStringList {} << fresh;
        QTest::newRow("start: running already") << "pss" << fail() << QStringList {} << left(100, 101, true, true);
        QTest::newRow("start: register") << "ps" << fail(Call::createIOProc) << names({ Call::createIOProc })
                                         << left(100, 101);
        QTest::newRow("start: device start keeps the proc")
            << "ps" << fail(Call::deviceStart) << names({ Call::createIOProc, Call::deviceStart })
            << left(100, 101, true, false);
        QTest::newRow("stop: device stop, then the tap")
            << "psx" << fail(Call::deviceStop, Call::destroyProcessTap) << stop << left(100, 0);
        QTest::newRow("stop: io proc, cleared with the device")
            << "psx" << fail(Call::destroyIOProc) << stop << left(0, 0);
        QTest::newRow("stop: device kept") << "psx" << fail(Call::destroyAggregateDevice) << stop << left(0, 101);
        QTest::newRow("stop: tap kept") << "psx" << fail(Call::destroyProcessTap) << stop << left(100, 0);
        QTest::newRow("stop: device stop and device, still running")
            << "psx" << fail(Call::deviceStop, Call::destroyAggregateDevice) << stop << left(0, 101, false, true);
    }

    void failures()
    {
        QFETCH(QString, steps);
        QFETCH(QList<int>, failing);
        QFETCH(QStringList, calls);
        QFETCH(Diagnostics, after);
        Rig rig;
        for (int call : failing)
            rig.hardware->failCall(Call(call), failure(Call(call)), 1);
        qsizetype before = 0;
        std::int32_t last = 0;
        for (QChar step : steps) {
            QCOMPARE(last, 0);
            before = rig.hardware->calls().size();
            last = statusOf(step == 'p' ? rig.driver.prepare() : step == 's' ? rig.start() : rig.driver.stop());
        }
        // A step that made no call was refused.
        QCOMPARE(last, failing.isEmpty() ? (calls.isEmpty() ? -1 : 0) : failure(Call(failing[0])));
        QCOMPARE(rig.hardware->calls().mid(before), calls);
        QCOMPARE(rig.driver.diagnostics(), after);
        QVERIFY(rig.driver.stop());
        QVERIFY(rig.driver.diagnostics().released());
        QCOMPARE(rig.hardware->heldObjects() + rig.hardware->heldIOProcs(), 0);
    }
};

QTEST_GUILESS_MAIN(CoreAudioTapDriverTest)
#include "tst_coreaudiotapdriver.moc"
