#include "media/PlatformMedia.h"

#include "media/FfmpegMediaAssetOpener.h"
#include "media/FfmpegMediaWriterFactory.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace vessaro::PlatformMedia {

std::shared_ptr<const MediaWriterFactory> writerFactory()
{
    return std::make_shared<FfmpegMediaWriterFactory>();
}

std::shared_ptr<const MediaAssetOpener> assetOpener()
{
    return std::make_shared<FfmpegMediaAssetOpener>();
}

void silenceLogging()
{
    av_log_set_level(AV_LOG_QUIET);
#ifdef NDEBUG
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
#endif
}

void limitAllocations()
{
    constexpr std::size_t largestAllocation = std::size_t { 64 } << 20;
    av_max_alloc(largestAllocation);
}

} // namespace vessaro::PlatformMedia
