#include "files/RecordingFile.h"

#include "base/AudioStreamBasicDescription.h"
#include "base/Platform.h"
#include "media/MediaAssetOpener.h"
#include "media/PlatformMedia.h"

#include <cmath>

namespace vessaro {

const AudioOutputSettings& RecordingFile::alacSettings()
{
    static const AudioOutputSettings settings{kAudioFormatAppleLossless, 48000, 2, 24};
    return settings;
}

Result<QString> RecordingFile::makeTemporaryURL()
{
    auto base = Platform::temporaryDirectory();
    if (!base)
        return base.error();
    const QString directory = base.value() + QStringLiteral("/Vessaro");
    if (auto made = Platform::createDirectory(directory, Platform::DirectoryAccess::userOnly); !made)
        return made.error();
    return directory + QStringLiteral("/recording-") + Platform::uuidString() + QStringLiteral(".mp4");
}

Result<RecordingSummary> RecordingFile::validate(const QString& path, const MediaAssetOpener* opener)
{
    std::shared_ptr<const MediaAssetOpener> platform;
    if (!opener) {
        platform = PlatformMedia::assetOpener();
        opener = platform.get();
    }
    const std::unique_ptr<MediaAsset> asset = opener->open(path);

    auto tracks = asset->loadAudioTracks();
    if (!tracks)
        return tracks.error();
    if (tracks.value().isEmpty())
        return RecorderError::invalidOutput(QStringLiteral("导出的 MP4 中没有音频轨道。"));

    // Only the first audio track counts.
    auto subtypes = asset->loadFormatDescriptionSubtypes(tracks.value().first());
    if (!subtypes)
        return subtypes.error();
    if (!subtypes.value().contains(kAudioFormatAppleLossless))
        return RecorderError::invalidOutput(QStringLiteral("导出的音频轨道不是 Apple Lossless（ALAC）格式。"));

    auto duration = asset->loadDuration();
    if (!duration)
        return duration.error();
    const double seconds = duration.value().seconds();
    if (!duration.value().isValid || !std::isfinite(seconds) || !(seconds > 0))
        return RecorderError::invalidOutput(QStringLiteral("导出的 MP4 没有有效时长。"));

    // The size is read last, from the file system.
    auto size = Platform::fileSize(path);
    if (!size)
        return size.error();
    if (!size.value() || *size.value() <= 0)
        return RecorderError::invalidOutput(QStringLiteral("导出的 MP4 是空文件。"));

    return RecordingSummary{seconds, *size.value()};
}

QString RecordingFile::suggestedFilename(const QDateTime& instant, const ZonedCalendar& calendar)
{
    const DateComponents parts = Platform::dateComponents(instant, calendar.calendar, calendar.zone);
    // Widths are minimums: a longer number is written in full.
    const auto field = [](std::optional<int> value, int width) {
        const int number = value.value_or(0);
        QString digits = QString::number(std::abs(number)).rightJustified(width - (number < 0 ? 1 : 0), QLatin1Char('0'));
        return number < 0 ? QStringLiteral("-") + digits : digits;
    };
    return QStringLiteral("系统音频 ") + field(parts.year, 4) + QLatin1Char('-') + field(parts.month, 2)
        + QLatin1Char('-') + field(parts.day, 2) + QLatin1Char(' ') + field(parts.hour, 2) + QLatin1Char('.')
        + field(parts.minute, 2) + QLatin1Char('.') + field(parts.second, 2) + QStringLiteral(".mp4");
}

} // namespace vessaro
