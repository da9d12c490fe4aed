#include "base/RecorderError.h"

#include <utility>

namespace vessaro {

RecorderError::RecorderError(Case c, QString text, std::int32_t status)
    : m_case(c)
    , m_text(std::move(text))
    , m_status(status)
{ }

RecorderError RecorderError::writerStartFailed(const QString& reason)
{
    return { Case::writerStartFailed, reason, 0 };
}

RecorderError RecorderError::writerAppendFailed(const QString& reason)
{
    return { Case::writerAppendFailed, reason, 0 };
}

RecorderError RecorderError::invalidOutput(const QString& message)
{
    return { Case::invalidOutput, message, 0 };
}

RecorderError RecorderError::captureFailed(const QString& step, std::int32_t status)
{
    return { Case::captureFailed, step, status };
}

RecorderError RecorderError::noAudioReceived()
{
    return { Case::noAudioReceived, QString(), 0 };
}

QString RecorderError::localizedDescription() const
{
    switch (m_case) {
    case Case::writerStartFailed:
        return QStringLiteral("无法创建无损 MP4：") + m_text;
    case Case::writerAppendFailed:
        return QStringLiteral("录音写入中断：") + m_text;
    case Case::invalidOutput:
        return m_text;
    case Case::captureFailed:
        // Always decimal, even when the status spells a four-character code.
        return m_text + QStringLiteral("失败（") + QString::number(m_status)
            + QStringLiteral("）。请确认声音服务正在运行后重试。");
    case Case::noAudioReceived:
        return QStringLiteral("没有收到系统音频。请确认声音服务正在运行，并确认电脑正在播放声音。");
    }
    return m_text;
}

} // namespace vessaro
