#include "base/Error.h"
#include "base/RecorderError.h"

#include <QTest>

using namespace vessaro;

class RecorderErrorTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void descriptions_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QString>("payload");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected");

        const int start = 0, append = 1, invalid = 2, capture = 3, none = 4;
        QTest::newRow("start") << start << QStringLiteral("无法添加音频轨道。") << 0
                               << QStringLiteral("无法创建无损 MP4：无法添加音频轨道。");
        QTest::newRow("append, no space after the colon")
            << append << QStringLiteral("磁盘写入跟不上录音，已停止接收以避免静默丢帧。") << 0
            << QStringLiteral("录音写入中断：磁盘写入跟不上录音，已停止接收以避免静默丢帧。");
        QTest::newRow("invalid output is the payload") << invalid << QStringLiteral("导出的 MP4 是空文件。") << 0
                                                       << QStringLiteral("导出的 MP4 是空文件。");
        QTest::newRow("invalid output, empty") << invalid << QString() << 0 << QString();
        QTest::newRow("negative status") << capture << QStringLiteral("读取采集格式") << -50
                                         << QStringLiteral("读取采集格式失败（-50）。请确认声音服务正在运行后重试。");
        QTest::newRow("status zero") << capture << QStringLiteral("创建系统音频采集") << 0
                                     << QStringLiteral("创建系统音频采集失败（0）。请确认声音服务正在运行后重试。");
        // 'who?' as a four-character code is still written in decimal.
        QTest::newRow("four-character code") << capture << QStringLiteral("开始系统音频录制") << 2003329599
                                             << QStringLiteral("开始系统音频录制失败（2003329599）。请确认声音服务正在运行后重试。");
        QTest::newRow("most negative") << capture << QStringLiteral("停止音频设备") << std::numeric_limits<int>::min()
                                       << QStringLiteral("停止音频设备失败（-2147483648）。请确认声音服务正在运行后重试。");
        QTest::newRow("no audio") << none << QString() << 0
                                  << QStringLiteral("没有收到系统音频。请确认声音服务正在运行，并确认电脑正在播放声音。");
    }

    void descriptions()
    {
        QFETCH(int, which);
        QFETCH(QString, payload);
        QFETCH(int, status);
        QFETCH(QString, expected);
        const RecorderError errors[] = {
            RecorderError::writerStartFailed(payload), RecorderError::writerAppendFailed(payload),
            RecorderError::invalidOutput(payload), RecorderError::captureFailed(payload, status),
            RecorderError::noAudioReceived()};
        const RecorderError& error = errors[which];
        QCOMPARE(error.localizedDescription(), expected);
        // Wrapped in the general error value, the text travels unchanged.
        QCOMPARE(Error(error).localizedDescription(), expected);
    }

    void platformErrorsAreNotRewrapped()
    {
        const Error error(PlatformError::fromErrno(ENOSPC, QStringLiteral("无法写入“/x”")));
        QVERIFY(!error.recorderError());
        QVERIFY(error.localizedDescription().startsWith(QStringLiteral("无法写入“/x”：")));
        QVERIFY(Error(CancellationError{}).isCancellation());
    }
};

QTEST_GUILESS_MAIN(RecorderErrorTest)
#include "tst_recordererror.moc"
