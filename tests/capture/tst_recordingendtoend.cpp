// The real engine on the private audio server (scripts/audio-server.sh), with
// the real FFmpeg: what the server plays comes back bit for bit, through the
// window's model and its export.

#include "ServerAudio.h"
#include "capture/CoreAudioTapDriver.h"
#include "capture/SystemAudioCaptureService.h"
#include "files/RecordingFile.h"
#include "recorder/RecorderViewModel.h"
#include "support/ScriptedDesktopServices.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

using namespace vessaro;
using Phase = RecorderViewModel::Phase;

namespace {

// Interleaved samples, top-aligned in 32 bits (ALAC's come out in the top 24).
std::vector<std::int32_t> samplesOf(const QString& audio)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), { "-v", "error", "-i", audio, "-f", "s32le", "-acodec", "pcm_s32le", "-" });
    ffmpeg.waitForFinished(-1);
    const QByteArray bytes = ffmpeg.exitCode() == 0 ? ffmpeg.readAllStandardOutput() : QByteArray();
    std::vector<std::int32_t> samples(static_cast<size_t>(bytes.size()) / 4);
    std::memcpy(samples.data(), bytes.constData(), samples.size() * 4);
    return samples;
}

// Whether `needle` is inside `haystack` sample for sample, keeping only the
// top `bits` bits of each sample.
bool contains(const std::vector<std::int32_t>& haystack, const std::vector<std::int32_t>& needle, int bits)
{
    const auto same = [bits](std::int32_t a, std::int32_t b) { return a >> (32 - bits) == b >> (32 - bits); };
    for (size_t start = 0; !needle.empty() && start + needle.size() <= haystack.size(); start += 2)
        if (std::equal(needle.begin(), needle.end(), haystack.begin() + qsizetype(start), same))
            return true;
    return false;
}

// The samples from the first to the last that is not silent, whole frames.
std::vector<std::int32_t> sounding(const std::vector<std::int32_t>& samples)
{
    const auto loud = [](std::int32_t sample) { return sample != 0; };
    const auto first = (std::find_if(samples.begin(), samples.end(), loud) - samples.begin()) & ~qsizetype(1);
    const auto end
        = (std::find_if(samples.rbegin(), samples.rend(), loud).base() - samples.begin() + 1) & ~qsizetype(1);
    return first < end ? std::vector(samples.begin() + first, samples.begin() + end) : std::vector<std::int32_t>();
}

// Whether `recorded` holds every frame of `played` in order, where the output
// may have inserted runs of digital silence (the player's underruns on a busy
// machine) and, right after such a run, skipped at most as many frames of the
// source as the run was long (the server catching up). Compares the top
// `bits` bits of each sample; says where it went wrong.
QString holdsInOrder(const std::vector<std::int32_t>& recorded, const std::vector<std::int32_t>& played, int bits)
{
    const auto frame = [bits](const std::vector<std::int32_t>& samples, size_t at) {
        return std::pair(samples[2 * at] >> (32 - bits), samples[2 * at + 1] >> (32 - bits));
    };
    const size_t recordedFrames = recorded.size() / 2;
    const size_t playedFrames = played.size() / 2;
    const std::vector<std::int32_t> opening(
        played.begin(), played.begin() + qsizetype(std::min<size_t>(64, played.size())));
    size_t at = 0;
    while (at * 2 + opening.size() <= recorded.size()
        && !std::equal(opening.begin(), opening.end(), recorded.begin() + qsizetype(2 * at),
            [bits](std::int32_t a, std::int32_t b) { return a >> (32 - bits) == b >> (32 - bits); }))
        ++at;
    size_t next = 0;
    int runs = 0;
    size_t skipped = 0;
    while (next < playedFrames) {
        if (at >= recordedFrames)
            return QStringLiteral("the recording ends at frame %1 of %2 played").arg(next).arg(playedFrames);
        if (frame(recorded, at) == frame(played, next)) {
            ++at;
            ++next;
            continue;
        }
        const size_t runStart = at;
        while (at < recordedFrames && frame(recorded, at) == std::pair(0, 0))
            ++at;
        size_t skip = 0;
        while (at < recordedFrames && skip <= at - runStart && next + skip < playedFrames
            && frame(recorded, at) != frame(played, next + skip))
            ++skip;
        if (at == runStart || skip > at - runStart)
            return QStringLiteral("played frame %1 is not at recorded frame %2").arg(next).arg(at);
        ++runs;
        skipped += skip;
        next += skip;
    }
    qInfo("in order: %zu frames, %d runs of silence inserted, %zu frames skipped after them", playedFrames, runs,
        skipped);
    return {};
}

// Plays `seconds` of noise (which never repeats, so it is found in one place
// only) padded with digital silence (undithered), while `hogs` busy loops run, through the model:
// countdown, the played signal, stop, export. A stream that starts while the
// output runs is mixed in by rewinding the output, and a monitor never sees
// the rewound few milliseconds: they fall into the silence.
//
// The recording is compared with what parec heard on the same monitor, not
// with the file: on a busy machine the player or the server's mixer can miss
// a cycle, and the output then plays silence where some noise should be. That
// is what the computer played, so it is what a faithful recording holds.
// A long run compares with the played file itself instead: parec, itself a
// client of the busy server, does not always hear what the recording holds.
enum class Reference { heard, played };

void recordAndCompare(double seconds, int bits, int hogs, Reference reference = Reference::heard)
{
    test::ScopedCacheHome home;
    QTemporaryDir scratch;
    const QString padded = scratch.filePath(QStringLiteral("padded.wav"));
    const double rate = test::ServerAudio::outputSampleRate();
    QCOMPARE(QProcess::execute(QStringLiteral("sox"),
                 { "-D", "-n", "-r", QString::number(rate), "-c", "2", "-b", QString::number(bits), padded, "synth",
                     QString::number(seconds), "whitenoise", "vol", "0.5", "pad", "0.5", "0.2" }),
        0);
    std::vector<std::unique_ptr<QProcess>> loops;
    for (int i = 0; i < hogs; ++i) {
        loops.push_back(std::make_unique<QProcess>());
        loops.back()->start(QStringLiteral("sh"), { "-c", "while :; do :; done" });
    }
    const auto stopHogs = qScopeGuard([&] {
        for (auto& loop : loops) {
            loop->kill();
            loop->waitForFinished();
        }
    });

    auto desktop = std::make_shared<test::ScriptedDesktopServices>();
    const QString destination = scratch.filePath(QStringLiteral("系统音频 导出.mp4"));
    desktop->savePanelAnswers = { destination };
    RecorderViewModel model(
        std::make_unique<SystemAudioCaptureService>(std::make_unique<CoreAudioTapDriver>()), desktop);
    QProcess listener;
    const QString heardFile = scratch.filePath(QStringLiteral("heard.wav"));
    listener.start(QStringLiteral("parec"),
        { "-d", test::ServerAudio::outputSink() + ".monitor", "--format=float32le", "--channels=2", "--latency-msec=20",
            "--rate=" + QString::number(rate), "--file-format=wav", heardFile });
    QVERIFY(listener.waitForStarted());
    model.start();
    QTRY_COMPARE_WITH_TIMEOUT(model.phase(), Phase::recording(), 30000);
    QTest::qWait(300);
    QProcess player;
    player.start(QStringLiteral("paplay"), { padded });
    while (!player.waitForFinished(100))
        QCoreApplication::processEvents();
    QTest::qWait(300);
    listener.terminate();
    QVERIFY(listener.waitForFinished());
    model.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!model.phase().isBusy(), 300000);
    QVERIFY2(model.phase().kind() == Phase::Kind::finished, qPrintable(model.phase().description()));
    QCOMPARE(model.phase().path(), destination);
    QCOMPARE(QDir(home.recordingsDirectory()).entryList(QDir::Files | QDir::Hidden), QStringList());

    const std::vector<std::int32_t> recorded = samplesOf(destination);
    if (reference == Reference::played) {
        const QString wrong = holdsInOrder(recorded, sounding(samplesOf(padded)), bits);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    } else {
        const std::vector<std::int32_t> heard = sounding(samplesOf(heardFile));
        QVERIFY2(
            double(heard.size()) >= 0.9 * seconds * rate * 2, "the server played less than nine tenths of the noise");
        QVERIFY2(contains(recorded, heard, bits), "what the server played is not in the recording bit for bit");
    }
    // The summary measures the file itself.
    QCOMPARE(model.phase().summary().duration, double(recorded.size()) / 2 / rate);
    QCOMPARE(RecordingFile::validate(destination).value(), model.phase().summary());
    QVERIFY(QCoro::waitFor(model.shutdownForTermination()));
}

} // namespace

class RecordingEndToEndTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // 24 bits survive only a float output.
    void aPlayedSignalIsRecordedAndExportedBitForBit()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        recordAndCompare(
            1.5, qEnvironmentVariable("VESSARO_TEST_SINK_FORMAT", "float32le") == "float32le" ? 24 : 16, 0);
    }

    // A long run, not part of the suite (scripts/long-run.sh): ten minutes of
    // a known signal, recorded while two busy loops hog both cores.
    void tenMinutesUnderLoadComeBackBitForBit()
    {
        if (qEnvironmentVariableIsEmpty("VESSARO_LONG_RUN"))
            QSKIP("a long run: scripts/long-run.sh");
        VESSARO_REQUIRE_AUDIO_SERVER();
        recordAndCompare(qEnvironmentVariable("VESSARO_LONG_RUN_SECONDS", QStringLiteral("600")).toDouble(), 16, 2,
            Reference::played);
    }
};

QTEST_GUILESS_MAIN(RecordingEndToEndTest)
#include "tst_recordingendtoend.moc"
