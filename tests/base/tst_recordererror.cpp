#include "base/Error.h"
#include "base/RecorderError.h"

#include <QTest>

using namespace vessaro;

class RecorderErrorTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void descriptions_data()
    {
        QTest::addColumn<RecorderError>("error");
        QTest::addColumn<QString>("expected");
        QTest::newRow("start") << RecorderError::writerStartFailed(QStringLiteral("无法添加音频轨道。"))
                               << QStringLiteral("无法创建无损 MP4：无法添加音频轨道。");
        QTest::newRow("append, no space after the colon") << RecorderError::writerAppendFailed(
            QStringLiteral("磁盘写入跟不上录音。")) << QStringLiteral("录音写入中断：磁盘写入跟不上录音。");
        QTest::newRow("invalid output is the payload")
            << RecorderError::invalidOutput(QStringLiteral("空。")) << QStringLiteral("空。");
        QTest::newRow("most negative status, in decimal")
            << RecorderError::captureFailed(QStringLiteral("停止音频设备"), std::numeric_limits<int>::min())
            << QStringLiteral("停止音频设备失败（-2147483648）。请确认声音服务正在运行后重试。");
        QTest::newRow("no audio") << RecorderError::noAudioReceived()
                                  << QStringLiteral(
                                         "没有收到系统音频。请确认声音服务正在运行，并确认电脑正在播放声音。");
    }

    void descriptions()
    {
        QFETCH(RecorderError, error);
        QFETCH(QString, expected);
        // Wrapped in the general error value, the text travels unchanged.
        QCOMPARE(Error(error).localizedDescription(), expected);
    }
};

QTEST_GUILESS_MAIN(RecorderErrorTest)
#include "tst_recordererror.moc"
