#include "app/CommandLineRecorder.h"

#include "app/UnixSignalNotifier.h"
#include "base/Platform.h"
#include "base/PlatformError.h"
#include "base/SystemClock.h"
#include "capture/AudioSampleWriter.h"
#include "capture/CoreAudioTapDriver.h"
#include "capture/SystemAudioCaptureService.h"
#include "files/RecordingExport.h"
#include "recorder/NextTurn.h"
#include "ui/LevelMeter.h"
#include "ui/PhasePresentation.h"

#include <QDir>
#include <QFileInfo>
#include <QtConcurrent>

#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <csignal>

#include <unistd.h>

namespace vessaro {
namespace {

using namespace std::chrono_literals;

// How often a terminal's progress line is redrawn.
constexpr auto kProgressInterval = 250ms;
// How much longer than --seconds a take may run while its audio is late.
constexpr auto kDeliveryGrace = 10s;

void say(std::FILE* report, const QString& line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), report);
    std::fflush(report);
}

QString mebibytes(qint64 bytes)
{
    return QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'f', 1) + QStringLiteral(" MiB");
}

// The peak as the window's recording symbol steps it.
QString meter(float peak)
{
    const int step = LevelMeter::stepOf(peak);
    return QString(step, QChar(0x25AE)) + QString(LevelMeter::steps - step, QChar(0x25AF));
}

// Refuses before anything is recorded what would only fail at the end: a
// file that exists without --force, a folder that is missing or not ours to
// write in.
Result<void> checkDestination(const QString& file, bool force)
{
    const QFileInfo target(file);
    if (target.isDir())
        return PlatformError::fromErrno(EISDIR, QStringLiteral("无法写入") + Platform::quoted(file));
    if (!force && Platform::fileExists(file))
        return PlatformError::fromErrno(EEXIST, QStringLiteral("无法写入") + Platform::quoted(file));
    const QByteArray folder = QFile::encodeName(target.absolutePath());
    if (::access(folder.constData(), W_OK | X_OK) != 0)
        return PlatformError::fromErrno(errno, QStringLiteral("无法写入") + Platform::quoted(target.absolutePath()));
    return {};
}

} // namespace

QCoro::Task<int> CommandLineRecorder::record(CommandLine::Recording request, Options options)
{
    std::FILE* const report = options.report ? options.report : stderr;
    const QString file = QFileInfo(request.file).absoluteFilePath();
    if (auto checked = checkDestination(file, request.force); !checked) {
        say(report, checked.error().localizedDescription());
        if (!request.force && Platform::fileExists(file))
            say(report, QStringLiteral("要替换它，请加 --force。"));
        co_return failed;
    }
    std::shared_ptr<Clock> clock = options.clock ? options.clock : std::make_shared<SystemClock>();
    SystemAudioCaptureService service(
        options.makeDriver ? options.makeDriver() : std::make_unique<CoreAudioTapDriver>());

    // A signal or a capture that ended early stops the take, whenever it comes.
    const CancellationTokenPtr stopRequested = CancellationToken::create();
    UnixSignalNotifier signals({ SIGINT, SIGTERM, SIGHUP });
    QObject::connect(&signals, &UnixSignalNotifier::received, &signals, [stopRequested] { stopRequested->cancel(); });
    // The loudest peak since the line was last drawn.
    float peak = 0;
    QObject::connect(service.events(), &CaptureEvents::levelChanged, &signals,
        [&peak](float level) { peak = std::max(peak, level); });
    // A take the release had to finish after a failed stop: where it stays.
    std::optional<QString> kept;
    QObject::connect(service.events(), &CaptureEvents::recordingKept, &signals,
        [&kept](const CaptureOutcome& outcome) { kept = outcome.path; });
    std::optional<QString> interruption;
    QObject::connect(service.events(), &CaptureEvents::captureInterrupted, &signals,
        [&interruption, stopRequested](const QString& reason) {
            interruption = reason;
            stopRequested->cancel();
        });

    const CaptureTarget target
        = request.program.isEmpty() ? CaptureTarget::everything() : CaptureTarget::ofProgram(request.program);
    Result<void> began = co_await service.prepare(target);
    if (began)
        began = co_await service.start();
    if (!began) {
        say(report, began.error().localizedDescription());
        (void)co_await service.cancel();
        co_return failed;
    }

    // Only a terminal gets the line redrawn in place; a pipe or a log file
    // would fill with it.
    const bool terminal = ::isatty(::fileno(report)) == 1;
    // --seconds counts the audio in the file, not the time since start: the
    // server's first delivery may come a while after the start. A server that
    // sends nothing at all cannot hold the command past the backstop.
    const QDateTime startedAt = clock->now();
    const auto backstop = request.seconds ? std::chrono::duration<double>(*request.seconds) + kDeliveryGrace
                                          : std::chrono::duration<double>::max();
    for (RecordingProgress now;;) {
        std::chrono::duration<double> step = terminal ? kProgressInterval : std::chrono::duration<double>(1h);
        if (request.seconds) {
            const std::chrono::duration<double> left(*request.seconds - now.seconds);
            if (left <= 0s || std::chrono::milliseconds(startedAt.msecsTo(clock->now())) >= backstop)
                break;
            step = std::min(step, left);
        }
        if (!co_await clock->sleep(std::chrono::duration_cast<std::chrono::nanoseconds>(step), stopRequested))
            break;
        now = co_await service.progress();
        if (terminal) {
            const QString line
                = QStringLiteral("\r录音中 %1  %2  电平 %3\033[K")
                      .arg(formatDuration(now.seconds), mebibytes(now.bytes), meter(std::exchange(peak, 0.0F)));
            std::fputs(qPrintable(line), report);
            std::fflush(report);
        }
    }
    if (terminal)
        std::fputs("\r\033[K", report);

    auto stopped = co_await service.stop();
    if (!stopped) {
        (void)co_await service.cancel();
        // The kept take's event is queued behind the release's answer.
        co_await NextTurn {};
        say(report,
            kept ? AudioSampleWriter::keptAt(stopped.error(), *kept).localizedDescription()
                 : stopped.error().localizedDescription());
        co_return failed;
    }
    const CaptureOutcome& take = stopped.value();
    // The export writes 16 bits when every sample fits, else copies the take
    // exactly; either way under a hidden name, renamed into place once synced.
    // The take stays in the recorder's folder until then. The destination is
    // checked again: a file that came into the name during the take is not
    // replaced unasked.
    if (auto checked = checkDestination(file, request.force); !checked) {
        say(report, AudioSampleWriter::keptAt(checked.error(), take.path).localizedDescription());
        co_return failed;
    }
    const CancellationTokenPtr exportCancelled = CancellationToken::create();
    QObject::connect(
        &signals, &UnixSignalNotifier::received, &signals, [exportCancelled] { exportCancelled->cancel(); });
    // Made before it is awaited: GCC 12 destroys a lambda's captures twice in
    // a co_await operand.
    QFuture<Result<RecordingExport::Exported>> job = QtConcurrent::run([take, file, terminal, report, exportCancelled] {
        const auto progress = [terminal, report](double fraction) {
            if (!terminal)
                return;
            std::fputs(
                qPrintable(QStringLiteral("\r正在保存录音… %1%\033[K").arg(static_cast<int>(fraction * 100))), report);
            std::fflush(report);
        };
        return RecordingExport::run(take.path, take.summary, file, progress, *exportCancelled);
    });
    const Result<RecordingExport::Exported> exported = co_await job;
    if (terminal)
        std::fputs("\r\033[K", report);
    if (!exported) {
        say(report, AudioSampleWriter::keptAt(exported.error(), take.path).localizedDescription());
        co_return failed;
    }
    (void)Platform::removeItem(take.path);
    if (take.interruption)
        say(report, QStringLiteral("录音已中断：") + take.interruption->localizedDescription());
    else if (interruption)
        say(report, QStringLiteral("录音已中断：") + *interruption);
    if (take.silent)
        say(report, QStringLiteral("录音里没有声音"));
    say(report,
        QStringLiteral("已保存：%1（%2，%3，%4 位）")
            .arg(file, formatDuration(exported.value().summary.duration), mebibytes(QFileInfo(file).size()))
            .arg(exported.value().bitDepth));
    co_return (take.interruption || interruption) ? failed : succeeded;
}

QCoro::Task<int> CommandLineRecorder::listPrograms(Options options)
{
    SystemAudioCaptureService service(
        options.makeDriver ? options.makeDriver() : std::make_unique<CoreAudioTapDriver>());
    const auto programs = co_await service.playingPrograms();
    if (!programs) {
        say(options.report ? options.report : stderr, programs.error().localizedDescription());
        co_return failed;
    }
    // One program a line, tab-separated for scripts: the name --app takes,
    // the binary, the process id (0 when the server does not know it).
    for (const PlayingProgram& program : programs.value())
        std::fputs(qPrintable(QStringLiteral("%1\t%2\t%3\n").arg(program.name, program.binary).arg(program.processId)),
            stdout);
    std::fflush(stdout);
    co_return succeeded;
}

} // namespace vessaro
