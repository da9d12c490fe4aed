#include "media/FfmpegError.h"

#include "base/SystemErrorText.h"

extern "C" {
#include <libavutil/error.h>
}

namespace vessaro::FfmpegError {
namespace {

// Above every errno the kernel hands out, below FFmpeg's four-letter tags.
constexpr int kLargestErrno = 4095;

} // namespace

QString describe(int averror)
{
    switch (averror) {
    case AVERROR_INVALIDDATA:
        return QStringLiteral("数据无效或已损坏");
    case AVERROR_EOF:
        return QStringLiteral("已到文件末尾");
    case AVERROR_ENCODER_NOT_FOUND:
        return QStringLiteral("找不到编码器");
    case AVERROR_DECODER_NOT_FOUND:
        return QStringLiteral("找不到解码器");
    case AVERROR_MUXER_NOT_FOUND:
        return QStringLiteral("找不到封装格式");
    case AVERROR_DEMUXER_NOT_FOUND:
        return QStringLiteral("无法识别文件格式");
    case AVERROR_STREAM_NOT_FOUND:
        return QStringLiteral("找不到音频轨道");
    case AVERROR_PROTOCOL_NOT_FOUND:
    case AVERROR_OPTION_NOT_FOUND:
    case AVERROR_BSF_NOT_FOUND:
    case AVERROR_FILTER_NOT_FOUND:
        return QStringLiteral("FFmpeg 缺少所需的组件");
    case AVERROR_BUG:
    case AVERROR_BUG2:
        return QStringLiteral("FFmpeg 内部错误");
    case AVERROR_EXTERNAL:
        return QStringLiteral("外部库出错");
    case AVERROR_PATCHWELCOME:
    case AVERROR_EXPERIMENTAL:
        return QStringLiteral("FFmpeg 尚不支持此功能");
    case AVERROR_EXIT:
        return QStringLiteral("操作已中止");
    case AVERROR_BUFFER_TOO_SMALL:
        return QStringLiteral("缓冲区太小");
    default:
        break;
    }
    // AVERROR(e) is -e.
    if (averror < 0 && averror >= -kLargestErrno)
        return SystemErrorText::describe(-averror);
    return QStringLiteral("FFmpeg 错误 ") + QString::number(averror);
}

QString text(const QString& what, int averror)
{
    return what + QStringLiteral("：") + describe(averror);
}

PlatformError platformError(int averror, const QString& what)
{
    return { PlatformError::Source::media, averror, text(what, averror) };
}

} // namespace vessaro::FfmpegError
