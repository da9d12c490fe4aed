#include "files/RecordingFile.h"

#include "base/AudioStreamBasicDescription.h"
#include "base/Platform.h"
#include "media/MediaAssetOpener.h"
#include "media/Mp4Flattener.h"
#include "media/PlatformMedia.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cmath>
#include <cstdio>

namespace vessaro {

const AudioOutputSettings& RecordingFile::alacSettings()
{
    static const AudioOutputSettings settings { kAudioFormatAppleLossless, 48000, 2, 24 };
    return settings;
}

Result<QString> RecordingFile::makeTemporaryPath()
{
    auto base = Platform::temporaryDirectory();
    if (!base)
        return base.error();
    const QString directory = base.value() + QStringLiteral("/Vessaro");
    if (auto made = Platform::createDirectory(directory, Platform::DirectoryAccess::userOnly); !made)
        return made.error();
    return directory + QStringLiteral("/recording-") + Platform::uuidString() + QStringLiteral(".mp4");
}

Result<LockedRecordingFile> RecordingFile::createTemporaryFile()
{
    auto path = makeTemporaryPath();
    if (!path)
        return path.error();
    // Created and locked under a hidden name, then renamed: a leftover scan
    // only ever sees the file locked.
    const QFileInfo target(path.value());
    const QString hidden = target.absolutePath() + QStringLiteral("/.") + target.fileName();
    auto lock = FileLock::createNew(hidden);
    if (!lock)
        return lock.error();
    if (std::rename(QFile::encodeName(hidden).constData(), QFile::encodeName(path.value()).constData()) != 0) {
        const int error = errno;
        (void)Platform::removeItem(hidden);
        return PlatformError::fromErrno(error, QStringLiteral("无法创建文件 %1").arg(path.value()));
    }
    return LockedRecordingFile { path.value(), std::move(lock).value() };
}

std::vector<RecoveredRecording> RecordingFile::recoverLeftovers(const MediaAssetOpener* opener)
{
    std::vector<RecoveredRecording> recovered;
    auto base = Platform::temporaryDirectory();
    if (!base)
        return recovered;
    const QDir folder(base.value() + QStringLiteral("/Vessaro"));
    // Hidden ones are only ever empty: createTemporaryFile names a file before writing it.
    const QFileInfoList candidates
        = folder.entryInfoList({ QStringLiteral("recording-*.mp4"), QStringLiteral(".recording-*.mp4") },
            QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Time);
    for (const QFileInfo& candidate : candidates) {
        const QString path = candidate.absoluteFilePath();
        auto locked = FileLock::tryToLock(path);
        if (!locked || !locked.value())
            continue; // a running program's file, or none to open: not ours to touch
        FileLock lock = std::move(*locked.value());
        auto repaired = Mp4Flattener::flatten(lock.fd());
        const RecorderError* refused = repaired ? nullptr : repaired.error().recorderError();
        if (refused && *refused == Mp4Flattener::provedEmpty()) {
            (void)Platform::removeItem(path);
            continue;
        }
        if (repaired) {
            if (auto summary = validate(path, opener)) {
                recovered.push_back({ path, summary.value(), std::move(lock) });
                continue;
            }
        } else if (!refused) {
            continue; // the file system's error: perhaps not next time
        }
        // Moved while still locked, so that no other launch takes it up halfway.
        (void)Platform::moveItem(path, path + QStringLiteral(".damaged"));
    }
    return recovered;
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

    return RecordingSummary { seconds, *size.value() };
}

QString RecordingFile::suggestedFilename(const QDateTime& instant, const ZonedCalendar& calendar)
{
    const DateComponents parts = Platform::dateComponents(instant, calendar.calendar, calendar.zone);
    // Widths are minimums: a longer number is written in full.
    const auto field = [](std::optional<int> value, int width) {
        const int number = value.value_or(0);
        QString digits
            = QString::number(std::abs(number)).rightJustified(width - (number < 0 ? 1 : 0), QLatin1Char('0'));
        return number < 0 ? QStringLiteral("-") + digits : digits;
    };
    return QStringLiteral("系统音频 ") + field(parts.year, 4) + QLatin1Char('-') + field(parts.month, 2)
        + QLatin1Char('-') + field(parts.day, 2) + QLatin1Char(' ') + field(parts.hour, 2) + QLatin1Char('.')
        + field(parts.minute, 2) + QLatin1Char('.') + field(parts.second, 2) + QStringLiteral(".mp4");
}

} // namespace vessaro
