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
        QTest::newRow("start") << 0 << QStringLiteral("无法添加音频轨道。") << 0
                               << QStringLiteral("无法创建无损 MP4：无法添加音频轨道。");
        QTest::newRow("append, no space after the colon")
            << 1 << QStringLiteral("磁盘写入跟不上录音。") << 0 << QStringLiteral("录音写入中断：磁盘写入跟不上录音。");
        QTest::newRow("invalid output is the payload")
            << 2 << QStringLiteral("导出的 MP4 是空文件。") << 0 << QStringLiteral("导出的 MP4 是空文件。");
        QTest::newRow("most negative status, in decimal")
            << 3 << QStringLiteral("停止音频设备") << std::numeric_limits<int>::min()
            << QStringLiteral("停止音频设备失败（-2147483648）。请确认声音服务正在运行后重试。");
        QTest::newRow("no audio") << 4 << QString() << 0
                                  << QStringLiteral(
                                         "没有收到系统音频。请确认声音服务正在运行，并确认电脑正在播放声音。");
    }

    void descriptions()
    {
        QFETCH(int, which);
        QFETCH(QString, payload);
        QFETCH(int, status);
        QFETCH(QString, expected);
        const RecorderError errors[] = { RecorderError::writerStartFailed(payload),
            RecorderError::writerAppendFailed(payload), RecorderError::invalidOutput(payload),
            RecorderError::captureFailed(payload, status), RecorderError::noAudioReceived() };
        // Wrapped in the general error value, the text travels unchanged.
        QCOMPARE(Error(errors[which]).localizedDescription(), expected);
    }

    void platformErrorsAreNotRewrapped()
    {
        const Error error(PlatformError::fromErrno(ENOSPC, QStringLiteral("无法写入“/x”")));
        QVERIFY(!error.recorderError());
        QCOMPARE(
            error.localizedDescription(), QStringLiteral("无法写入“/x”：") + QString::fromLocal8Bit(strerror(ENOSPC)));
        QVERIFY(Error(CancellationError {}).isCancellation());
    }
};

QTEST_GUILESS_MAIN(RecorderErrorTest)
#include "tst_recordererror.moc"
