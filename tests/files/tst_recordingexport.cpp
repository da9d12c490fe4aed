#include "files/RecordingExport.h"
#include "files/RecordingFile.h"
#include "media/AlacSampleReader.h"
#include "media/SixteenBitTranscoder.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <random>
#include <vector>

using namespace vessaro;

namespace {

constexpr std::uint32_t kChannels = 2;
constexpr std::int64_t kFrames = 100000; // 24 encoder frames and a part one

enum class Source { int16, float16, float24, turns24Halfway, oneStepOff };

// Interleaved stereo samples as the server delivers them, and the top-aligned 32-bit values the file must decode to.
struct Signal {
    AudioStreamBasicDescription stream;
    std::vector<std::int16_t> int16;
    std::vector<float> floats;
    std::vector<std::int32_t> expected;
};

Signal makeSignal(Source source, std::uint32_t seed = 3)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::int32_t> value16(-32768, 32767), wide24(-(1 << 23), (1 << 23) - 1);
    const auto count = std::size_t(kFrames) * kChannels;
    Signal signal;
    const bool integers = source == Source::int16;
    signal.stream = { 48000, kAudioFormatLinearPCM,
        kAudioFormatFlagIsPacked | (integers ? kAudioFormatFlagIsSignedInteger : kAudioFormatFlagIsFloat),
        kChannels * (integers ? 2 : 4), 1, kChannels * (integers ? 2 : 4), kChannels, integers ? 16u : 32u };
    for (std::size_t i = 0; i < count; ++i) {
        // 24-bit values from the whole range, or from halfway on; 16-bit ones at the edges now and then.
        const bool wide = source == Source::float24 || (source == Source::turns24Halfway && i >= count / 2);
        std::int32_t value24 = wide ? wide24(random) : value16(random) * 256;
        if (!wide && i % 1000 < 2)
            value24 = i % 2 ? 32767 * 256 : -32768 * 256;
        if (source == Source::oneStepOff && i == count - 1)
            value24 += 1; // one 24-bit step above a 16-bit value, in the last sample
        signal.int16.push_back(static_cast<std::int16_t>(value24 / 256));
        signal.floats.push_back(static_cast<float>(value24) / 8388608.0F);
        signal.expected.push_back(value24 * 256);
    }
    return signal;
}

// A finished 24-bit recording of the signal, as the app writes it.
bool record(const QString& path, const Signal& signal)
{
    auto writer = test::startedWriter(path, signal.stream, 0, 24);
    const void* data = signal.int16.empty() || signal.stream.mBitsPerChannel != 16
        ? static_cast<const void*>(signal.floats.data())
        : static_cast<const void*>(signal.int16.data());
    const auto* bytes = static_cast<const char*>(data);
    for (std::int64_t done = 0; writer && done < kFrames; done += 960) {
        const auto frames = std::uint32_t(std::min<std::int64_t>(960, kFrames - done));
        if (!test::appendOne(*writer, bytes + done * signal.stream.mBytesPerFrame, frames, signal.stream, done))
            return false;
    }
    if (!writer)
        return false;
    writer->finishWriting();
    return writer->status() == MediaWriter::Status::completed;
}

// The file's depth and samples, top-aligned.
std::pair<int, std::vector<std::int32_t>> decode(const QString& path)
{
    auto reader = AlacSampleReader::open(path);
    if (!reader)
        return {};
    std::vector<std::int32_t> samples(std::size_t(kFrames + 1) * kChannels);
    const auto got = reader.value()->read(samples.data(), std::uint32_t(kFrames + 1));
    samples.resize(got ? std::size_t(got.value()) * kChannels : 0);
    return { reader.value()->bitDepth(), samples };
}

} // namespace

class RecordingExportTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The export is 16-bit exactly when every sample fits, and decodes to the recorded samples either way. While it
    // works, the destination's name stays free; the progress climbs to 1.
    void exportsAtTheDepthTheSamplesNeed_data()
    {
        QTest::addColumn<Source>("source");
        QTest::addColumn<int>("bitDepth");
        QTest::newRow("16-bit integers (PulseAudio)") << Source::int16 << 16;
        QTest::newRow("floats of 16-bit values (PipeWire)") << Source::float16 << 16;
        QTest::newRow("24-bit") << Source::float24 << 24;
        QTest::newRow("turns 24-bit halfway") << Source::turns24Halfway << 24;
        QTest::newRow("one step off 16 bits, last") << Source::oneStepOff << 24;
    }
    void exportsAtTheDepthTheSamplesNeed()
    {
        QFETCH(Source, source);
        QFETCH(int, bitDepth);
        const Signal signal = makeSignal(source);
        const QString recording = m_dir.filePath(QStringLiteral("recording.mp4"));
        const QString destination = m_dir.filePath(QStringLiteral("saved.mp4"));
        QVERIFY(record(recording, signal));
        const QByteArray recorded = test::readAll(recording);
        const auto summary = RecordingFile::validate(recording);
        QVERIFY(summary);

        std::vector<double> progress;
        bool nameTakenEarly = false;
        const auto exported = RecordingExport::run(
            recording, summary.value(), destination,
            [&](double fraction) {
                progress.push_back(fraction);
                nameTakenEarly |= fraction < 1 && QFile::exists(destination);
            },
            *CancellationToken::create());
        QVERIFY(exported);
        QCOMPARE(exported.value().bitDepth, bitDepth);
        // Decided on the samples, not left to the comparison that guards it.
        const auto written = SixteenBitTranscoder::transcode(
            recording, m_dir.filePath(QStringLiteral("scratch.mp4")), {}, *CancellationToken::create());
        QCOMPARE(written.value() == SixteenBitTranscoder::Outcome::written, bitDepth == 16);
        QFile::remove(m_dir.filePath(QStringLiteral("scratch.mp4")));
        QCOMPARE(exported.value().summary, RecordingFile::validate(destination).value());
        const auto [depth, samples] = decode(destination);
        QCOMPARE(depth, bitDepth);
        QVERIFY(samples == signal.expected);
        if (bitDepth == 16)
            QVERIFY(exported.value().summary.fileSize < summary.value().fileSize * 3 / 4);
        else
            QCOMPARE(test::readAll(destination), recorded);
        QCOMPARE(test::readAll(recording), recorded);
        QVERIFY(!nameTakenEarly);
        QVERIFY(std::is_sorted(progress.begin(), progress.end()));
        QCOMPARE(progress.back(), 1.0);
        // Both passes report: encoding up to 0.7, comparing after it.
        if (bitDepth == 16)
            QVERIFY(std::count_if(progress.begin(), progress.end(), [](double f) { return f > 0 && f < 0.7; }) > 10);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }

    // The comparison that allows the 16-bit file finds a changed sample and a missing frame.
    void comparisonFindsEveryDifference()
    {
        const QString original = m_dir.filePath(QStringLiteral("original.mp4"));
        const QString changed = m_dir.filePath(QStringLiteral("changed.mp4"));
        Signal signal = makeSignal(Source::float16);
        QVERIFY(record(original, signal));
        const auto cancel = CancellationToken::create();
        QCOMPARE(SixteenBitTranscoder::sameSamples(original, original, {}, *cancel).value(), true);
        signal.floats[std::size_t(kFrames)] += 1.0F / 32768;
        QVERIFY(record(changed, signal));
        QCOMPARE(SixteenBitTranscoder::sameSamples(original, changed, {}, *cancel).value(), false);
        signal.floats.resize(signal.floats.size() - kChannels);
        QVERIFY(record(changed, signal));
        QCOMPARE(SixteenBitTranscoder::sameSamples(original, changed, {}, *cancel).value(), false);
    }

    // A quit during the export ends it without a copy: nothing under the destination's name, no staging file left.
    void cancelledExportLeavesNothing()
    {
        const QString recording = m_dir.filePath(QStringLiteral("recording.mp4"));
        QVERIFY(record(recording, makeSignal(Source::int16)));
        const auto cancel = CancellationToken::create();
        const auto exported = RecordingExport::run(
            recording, RecordingFile::validate(recording).value(), m_dir.filePath(QStringLiteral("saved.mp4")),
            [&](double) { cancel->cancel(); }, *cancel);
        QVERIFY(!exported && exported.error().isCancellation());
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList { "recording.mp4" });
    }

    void cleanup()
    {
        for (const QString& name : QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden))
            QFile::remove(m_dir.filePath(name));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(RecordingExportTest)
#include "tst_recordingexport.moc"
