#include "verification/CaptureVerification.h"

#include "base/Platform.h"
#include "base/SystemClock.h"
#include "capture/CoreAudioTapDriver.h"
#include "capture/SystemAudioCaptureService.h"
#include "files/RecordingExport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QThreadPool>
#include <QtConcurrent>

#include <qcoro/qcorofuture.h>

#include <chrono>

namespace vessaro {
namespace {

constexpr std::chrono::nanoseconds kCycleLength = std::chrono::seconds(3);
constexpr int kCycles = 3;

QJsonObject toJson(const Diagnostics& diagnostics)
{
    QJsonObject object;
    const auto entries = diagnostics.entries();
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

// Runs the cycles and the cancellation check; the first error ends it.
QCoro::Task<Result<void>> exercise(
    SystemAudioCaptureService& service, Clock& clock, const QString& directory, QJsonArray& cycles, QJsonObject& report)
{
    if (auto made = Platform::createDirectory(directory); !made)
        co_return made;

    for (int cycle = 1; cycle <= kCycles; ++cycle) {
        if (auto prepared = co_await service.prepare(); !prepared)
            co_return prepared;
        if (auto started = co_await service.start(); !started)
            co_return started;
        const Diagnostics active = co_await service.diagnostics();
        if (!co_await clock.sleep(kCycleLength))
            co_return Error(CancellationError {});
        auto stopped = co_await service.stop();
        if (!stopped)
            co_return stopped.error();
        // A cycle cut short fails the self-test, though its file is kept.
        if (stopped.value().interruption)
            co_return *stopped.value().interruption;
        const Diagnostics afterStop = co_await service.diagnostics();
        if (!afterStop.released())
            co_return RecorderError::invalidOutput(QStringLiteral("停止后仍有采集资源。"));

        const QString name = QStringLiteral("cycle-") + QString::number(cycle) + QLatin1Char('-')
            + Platform::uuidString() + QStringLiteral(".mp4");
        // Kept as the app would save it: 16-bit when every sample fits.
        const QString kept = stopped.value().path;
        const RecordingSummary summary = stopped.value().summary;
        // Made before it is awaited: GCC 12 destroys a lambda's captures twice in a co_await operand.
        QFuture<Result<RecordingExport::Exported>> job = QtConcurrent::run(
            QThreadPool::globalInstance(), [kept, summary, destination = directory + QLatin1Char('/') + name] {
                return RecordingExport::run(kept, summary, destination, {}, *CancellationToken::create());
            });
        auto exported = co_await job;
        if (!exported)
            co_return exported.error();
        (void)Platform::removeItem(kept);

        QJsonObject cycleReport { { QStringLiteral("active"), toJson(active) },
            { QStringLiteral("stopped"), toJson(afterStop) },
            { QStringLiteral("duration"), stopped.value().summary.duration }, { QStringLiteral("file"), name },
            { QStringLiteral("bitDepth"), exported.value().bitDepth } };
        // Only a take of pure digital silence says so: the usual five keys stay.
        if (stopped.value().silent)
            cycleReport.insert(QStringLiteral("silent"), true);
        cycles.append(cycleReport);
    }

    // A prepared capture that never starts must be cancellable, twice.
    if (auto prepared = co_await service.prepare(); !prepared)
        co_return prepared;
    if (auto cancelled = co_await service.cancel(); !cancelled)
        co_return cancelled;
    if (auto cancelled = co_await service.cancel(); !cancelled)
        co_return cancelled;
    report.insert(QStringLiteral("cancelled"), toJson(co_await service.diagnostics()));
    co_return Result<void>();
}

} // namespace

std::optional<QString> CaptureVerification::requestedDirectory(const QStringList& arguments)
{
    const qsizetype flag = arguments.indexOf(QStringLiteral("--verify-capture"));
    if (flag < 0 || flag + 1 >= arguments.size())
        return std::nullopt;
    return QDir::cleanPath(QDir::current().absoluteFilePath(arguments.at(flag + 1)));
}

void CaptureVerification::runIfRequested(
    const QStringList& arguments, std::function<void()> requestTermination, Options options)
{
    const auto directory = requestedDirectory(arguments);
    if (!directory)
        return;
    // The task runs on by itself; dropping its handle does not stop it.
    (void)run(*directory, std::move(requestTermination), std::move(options));
}

QCoro::Task<void> CaptureVerification::run(QString directory, std::function<void()> requestTermination, Options options)
{
    std::unique_ptr<AudioCaptureDriver> driver
        = options.makeDriver ? options.makeDriver() : std::make_unique<CoreAudioTapDriver>();
    std::shared_ptr<Clock> clock = options.clock ? options.clock : std::make_shared<SystemClock>();

    // The backend that really runs, as the driver names it.
    QJsonObject report { { QStringLiteral("backend"), driver->diagnostics().backend } };
    QJsonArray cycles;
    {
        SystemAudioCaptureService service(std::move(driver), options.writers, options.assets);
        const Result<void> outcome = co_await exercise(service, *clock, directory, cycles, report);
        if (outcome) {
            report.insert(QStringLiteral("status"), QStringLiteral("passed"));
        } else {
            report.insert(QStringLiteral("status"), QStringLiteral("failed"));
            report.insert(QStringLiteral("error"), outcome.error().localizedDescription());
            report.remove(QStringLiteral("cancelled"));
            if (auto cleaned = co_await service.cancel(); !cleaned)
                report.insert(QStringLiteral("cleanupError"), cleaned.error().localizedDescription());
        }
    }
    report.insert(QStringLiteral("cycles"), cycles);

    const QByteArray bytes = Platform::sortedPrettyJson(report);
    if (auto written = Platform::writeAtomically(bytes, directory + QStringLiteral("/result.json")); !written)
        Platform::logLine(
            QStringLiteral("Capture verification report failed: ") + written.error().localizedDescription());

    if (requestTermination)
        requestTermination();
}

} // namespace vessaro
