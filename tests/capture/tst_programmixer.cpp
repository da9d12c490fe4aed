// The program mixer on scripted pushes and cycles, one channel, queues of four frames: what each cycle carries.

#include "capture/hal/ProgramMixer.h"

#include <QTest>

#include <bit>

using namespace vessaro;

namespace {

// A push of samples into a slot, or (slot < 0) a cycle that must carry exactly `samples`.
struct Step {
    int slot;
    QList<float> samples;
};
constexpr int cycle = -1;

QList<quint32> bits(const QList<float>& samples)
{
    QList<quint32> result;
    for (float sample : samples)
        result.append(std::bit_cast<quint32>(sample));
    return result;
}

} // namespace

Q_DECLARE_METATYPE(QList<Step>)

class TestProgramMixer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void eachCycleCarriesTheMix_data()
    {
        QTest::addColumn<QList<Step>>("steps");
        QTest::newRow("one stream, bit for bit") << QList<Step> { { 2, { -0.0F, 0.1F, -0.3F } },
            { cycle, { -0.0F, 0.1F } }, { cycle, { -0.3F, 0.0F, 0.0F } } };
        QTest::newRow("two streams summed")
            << QList<Step> { { 0, { 1, 2, 3 } }, { 5, { 10, 20 } }, { cycle, { 11, 22, 3, 0 } }, { cycle, { 0 } } };
        QTest::newRow("a full queue drops its oldest")
            << QList<Step> { { 1, { 1, 2, 3 } }, { 1, { 4, 5, 6 } }, { cycle, { 3, 4, 5, 6 } } };
        QTest::newRow("across the wrap") << QList<Step> { { 7, { 1, 2, 3 } }, { cycle, { 1, 2 } }, { 7, { 4, 5, 6 } },
            { 0, { 9, 9 } }, { cycle, { 12, 13, 5, 6 } } };
    }
    void eachCycleCarriesTheMix()
    {
        QFETCH(QList<Step>, steps);
        ProgramMixer mixer(1, 4);
        for (const Step& step : steps) {
            if (step.slot >= 0) {
                mixer.push(step.slot, step.samples.data(), std::uint32_t(step.samples.size()));
                continue;
            }
            QList<float> mixed(step.samples.size(), 7.0F);
            mixer.mix(mixed.data(), std::uint32_t(mixed.size()));
            QCOMPARE(bits(mixed), bits(step.samples));
        }
    }
};

QTEST_GUILESS_MAIN(TestProgramMixer)
#include "tst_programmixer.moc"
