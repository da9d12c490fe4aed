// The real engine on the private audio server (scripts/audio-server.sh), with the real FFmpeg: what the server
// plays comes back bit for bit, through the window's model and its export.

#include "ServerAudio.h"
#include "capture/CoreAudioTapDriver.h"
#include "capture/SystemAudioCaptureService.h"
#include "files/RecordingFile.h"
#include "media/AlacSampleReader.h"
#include "recorder/RecorderViewModel.h"
#include "support/ScriptedDesktopServices.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <list>
#include <vector>

using namespace vessaro;
using Phase = RecorderViewModel::Phase;

namespace {

using Frame = std::pair<std::int32_t, std::int32_t>;

// The audio's stereo frames, each sample cut to its top `bits` of 32 (ALAC's come out in the top 24).
std::vector<Frame> framesOf(const QString& audio, int bits)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), { "-v", "error", "-i", audio, "-f", "s32le", "-acodec", "pcm_s32le", "-" });
    ffmpeg.waitForFinished(-1);
    const QByteArray bytes = ffmpeg.exitCode() == 0 ? ffmpeg.readAllStandardOutput() : QByteArray();
    const auto* samples = reinterpret_cast<const std::int32_t*>(bytes.constData());
    std::vector<Frame> frames(static_cast<size_t>(bytes.size()) / 8);
    for (size_t i = 0; i < frames.size(); ++i)
        frames[i] = { samples[2 * i] >> (32 - bits), samples[2 * i + 1] >> (32 - bits) };
    return frames;
}

// The frames from the first to the last that is not silent.
std::vector<Frame> sounding(std::vector<Frame> frames)
{
    const auto loud = [](Frame frame) { return frame != Frame(); };
    frames.erase(std::find_if(frames.rbegin(), frames.rend(), loud).base(), frames.end());
    frames.erase(frames.begin(), std::find_if(frames.begin(), frames.end(), loud));
    return frames;
}

// Whether `recorded` holds every frame of `played` in order, where the output may have inserted runs of digital
// silence (the player's underruns on a busy machine) and, right after such a run, skipped at most as many frames of
// the source as the run was long (the server catching up). Says where it went wrong.
QString holdsInOrder(const std::vector<Frame>& recorded, const std::vector<Frame>& played)
{
    const auto opening = played.begin() + qsizetype(std::min<size_t>(32, played.size()));
    auto at = size_t(std::search(recorded.begin(), recorded.end(), played.begin(), opening) - recorded.begin());
    size_t next = 0, skipped = 0;
    int runs = 0;
    for (; next < played.size(); ++at, ++next) {
        if (at >= recorded.size())
            return QStringLiteral("the recording ends at frame %1 of %2 played").arg(next).arg(played.size());
        if (recorded[at] == played[next])
            continue;
        const size_t runStart = at;
        while (at < recorded.size() && recorded[at] == Frame())
            ++at;
        size_t skip = 0;
        while (at < recorded.size() && skip <= at - runStart && next + skip < played.size()
            && recorded[at] != played[next + skip])
            ++skip;
        if (at == runStart || at == recorded.size() || skip > at - runStart)
            return QStringLiteral("played frame %1 is not at recorded frame %2").arg(next).arg(at);
        ++runs;
        skipped += skip;
        next += skip; // the loop steps over the frame found
    }
    qInfo("in order: %zu frames, %d runs of silence inserted, %zu frames skipped after them", played.size(), runs,
        skipped);
    return {};
}

// Plays `seconds` of noise (found in one place only) in undithered silence, which takes the few milliseconds a
// rewinding output hides from its monitor, while `hogs` busy loops run, through the model to the export. Compared
// with what parec heard on the same monitor (a busy mixer may play silence for a missed cycle: that is what the
// computer played), or in a long run with the played file, since parec, a client of the busy server too, does not
// always hear what the recording holds.
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
    std::list<QProcess> loops(static_cast<size_t>(hogs));
    for (QProcess& loop : loops)
        loop.start(QStringLiteral("sh"), { "-c", "while :; do :; done" });
    const auto stopHogs = qScopeGuard([&] {
        for (QProcess& loop : loops)
            loop.kill(), loop.waitForFinished();
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
    float loudest = 0; // the noise's peak is 0.5
    QObject::connect(
        &model, &RecorderViewModel::levelChanged, [&](float level) { loudest = std::max(loudest, level); });
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
    QVERIFY2(loudest > 0.4F && loudest <= 0.5F, QByteArray::number(loudest));
    model.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!model.phase().isBusy(), 300000);
    QVERIFY2(model.phase().kind() == Phase::Kind::finished, qPrintable(model.phase().description()));
    QCOMPARE(model.phase().path(), destination);
    QCOMPARE(QDir(home.recordingsDirectory()).entryList(QDir::Files | QDir::Hidden), QStringList());

    const std::vector<Frame> recorded = framesOf(destination, bits);
    if (reference == Reference::played) {
        const QString wrong = holdsInOrder(recorded, sounding(framesOf(padded, bits)));
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    } else {
        const std::vector<Frame> heard = sounding(framesOf(heardFile, bits));
        QVERIFY2(double(heard.size()) >= 0.9 * seconds * rate, "the server played less than nine tenths of the noise");
        QVERIFY2(std::search(recorded.begin(), recorded.end(), heard.begin(), heard.end()) != recorded.end(),
            "what the server played is not in the recording bit for bit");
    }
    QCOMPARE(AlacSampleReader::open(destination).value()->bitDepth(), bits);
    // The summary measures the file itself.
    QCOMPARE(model.phase().summary().duration, double(recorded.size()) / rate);
    QCOMPARE(RecordingFile::validate(destination).value(), model.phase().summary());
    QVERIFY(QCoro::waitFor(model.shutdownForTermination()));
}

} // namespace

class RecordingEndToEndTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Exported at the depth the sound needs: 24 bits survive only a float output; 16 bits come through either
    // output, and through PipeWire's float mixer, as 16-bit files.
    void aPlayedSignalIsRecordedAndExportedBitForBit_data()
    {
        QTest::addColumn<int>("bits");
        QTest::newRow("16-bit") << 16;
        if (qEnvironmentVariable("VESSARO_TEST_SINK_FORMAT", "float32le") == "float32le")
            QTest::newRow("24-bit") << 24;
    }
    void aPlayedSignalIsRecordedAndExportedBitForBit()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        QFETCH(int, bits);
        recordAndCompare(1.5, bits, 0);
    }

    // A long run, not part of the suite (scripts/long-run.sh): ten minutes of a known signal, recorded while two
    // busy loops hog both cores.
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
