#include "base/Error.h"
#include "base/RecorderError.h"

#include <QTest>

using namespace vessaro;

class RecorderErrorTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Wrapped in the general error value, the text travels unchanged.
    void descriptions()
    {
        const std::pair<RecorderError, const char*> cases[] = {
            { RecorderError::writerStartFailed(QStringLiteral("无法添加音频轨道。")),
                "无法创建无损 MP4：无法添加音频轨道。" },
            // No space after the full-width colon.
            { RecorderError::writerAppendFailed(QStringLiteral("磁盘写入跟不上录音。")),
                "录音写入中断：磁盘写入跟不上录音。" },
            { RecorderError::invalidOutput(QStringLiteral("空。")), "空。" }, // the payload alone
            // The most negative status, in decimal.
            { RecorderError::captureFailed(QStringLiteral("停止音频设备"), std::numeric_limits<int>::min()),
                "停止音频设备失败（-2147483648）。请确认声音服务正在运行后重试。" },
            { RecorderError::noAudioReceived(), "没有收到系统音频。请确认声音服务正在运行，并确认电脑正在播放声音。" },
        };
        for (const auto& [error, expected] : cases)
            QCOMPARE(Error(error).localizedDescription(), QString::fromUtf8(expected));
    }
};

QTEST_GUILESS_MAIN(RecorderErrorTest)
#include "tst_recordererror.moc"
