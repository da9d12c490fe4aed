// The system's errors and FFmpeg's own, each in our words.

#include "base/SystemErrorText.h"
#include "media/FfmpegError.h"

#include <QRegularExpression>
#include <QTest>

#include <cerrno>

extern "C" {
#include <libavutil/error.h>
}

using namespace vessaro;

class ErrorTextTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void eachCodeToItsWords()
    {
        using Words = std::pair<int, const char*>;
        const Words system[] = { { ENOSPC, "磁盘空间已满" }, { EDQUOT, "已用完磁盘配额" }, { EACCES, "没有权限" },
            { EPERM, "没有权限" }, { EROFS, "磁盘是只读的" }, { EIO, "读写磁盘时出错" },
            { ENOENT, "文件或文件夹不存在" }, { ENOTDIR, "不是文件夹" }, { EISDIR, "是一个文件夹" },
            { ENOTEMPTY, "文件夹不是空的" }, { ENAMETOOLONG, "文件名太长" }, { EFBIG, "文件太大" },
            { EMFILE, "打开的文件太多" }, { ENFILE, "打开的文件太多" }, { ENOMEM, "内存不足" },
            { EBUSY, "文件正在使用中" }, { ETXTBSY, "文件正在使用中" }, { ESTALE, "网络文件已失效" },
            { ETIMEDOUT, "操作超时" }, { EINTR, "操作被中断" }, { EAGAIN, "暂时无法完成，请稍后重试" },
            { EEXIST, "文件已存在" }, { EXDEV, "不能跨磁盘移动" }, { ELOOP, "路径中有不允许的符号链接" },
            { ENODATA, "数据不完整" }, { EINVAL, "参数无效" }, { EOPNOTSUPP, "不支持此操作" },
            { ENOSYS, "不支持此操作" }, { 123, "系统错误 123" } };
        const Words ffmpeg[] = { { AVERROR_INVALIDDATA, "数据无效或已损坏" }, { AVERROR_EOF, "已到文件末尾" },
            { AVERROR_ENCODER_NOT_FOUND, "找不到编码器" }, { AVERROR_DECODER_NOT_FOUND, "找不到解码器" },
            { AVERROR_MUXER_NOT_FOUND, "找不到封装格式" }, { AVERROR_DEMUXER_NOT_FOUND, "无法识别文件格式" },
            { AVERROR_STREAM_NOT_FOUND, "找不到音频轨道" }, { AVERROR_FILTER_NOT_FOUND, "FFmpeg 缺少所需的组件" },
            { AVERROR_BUG, "FFmpeg 内部错误" }, { AVERROR_BUG2, "FFmpeg 内部错误" }, { AVERROR_EXTERNAL, "外部库出错" },
            { AVERROR_PATCHWELCOME, "FFmpeg 尚不支持此功能" }, { AVERROR_EXIT, "操作已中止" },
            { AVERROR_BUFFER_TOO_SMALL, "缓冲区太小" }, { -1313558101, "FFmpeg 错误 -1313558101" } };
        const QRegularExpression english(QStringLiteral("[A-Za-z]"));
        for (const auto& [code, words] : system)
            QCOMPARE(SystemErrorText::describe(code), QString::fromUtf8(words));
        for (const auto& [code, words] : ffmpeg)
            QCOMPARE(FfmpegError::describe(code), QString::fromUtf8(words));
        // AVERROR(e) reads as e, known or not.
        for (const int code : { ENOMEM, ENOSPC, 123 })
            QCOMPARE(FfmpegError::describe(AVERROR(code)), SystemErrorText::describe(code));
        // Whatever the code, no English word gets through.
        for (const int code : { AVERROR_UNKNOWN, AVERROR_HTTP_NOT_FOUND, AVERROR_INPUT_CHANGED, -200, 0, 200 }) {
            QVERIFY(!SystemErrorText::describe(code).contains(english));
            QVERIFY(!FfmpegError::describe(code).remove(QStringLiteral("FFmpeg")).contains(english));
        }
    }
};

QTEST_GUILESS_MAIN(ErrorTextTest)
#include "tst_errortext.moc"
