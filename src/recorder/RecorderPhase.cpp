#include "recorder/RecorderPhase.h"

namespace vessaro {

RecorderPhase RecorderPhase::countingDown(int secondsLeft)
{
    RecorderPhase phase(Kind::countingDown);
    phase.m_secondsLeft = secondsLeft;
    return phase;
}

RecorderPhase RecorderPhase::finished(QString path, RecordingSummary summary)
{
    RecorderPhase phase(Kind::finished);
    phase.m_text = std::move(path);
    phase.m_summary = summary;
    return phase;
}

RecorderPhase RecorderPhase::exporting(std::optional<int> percentDone)
{
    RecorderPhase phase(Kind::exporting);
    phase.m_percentDone = percentDone;
    return phase;
}

RecorderPhase RecorderPhase::failed(QString message)
{
    RecorderPhase phase(Kind::failed);
    phase.m_text = std::move(message);
    return phase;
}

bool RecorderPhase::isBusy() const
{
    switch (m_kind) {
    case Kind::preparing:
    case Kind::countingDown:
    case Kind::recording:
    case Kind::exporting:
        return true;
    case Kind::idle:
    case Kind::finished:
    case Kind::failed:
        return false;
    }
    return false;
}

QString RecorderPhase::description() const
{
    switch (m_kind) {
    case Kind::idle:
        return QStringLiteral("idle");
    case Kind::preparing:
        return QStringLiteral("preparing");
    case Kind::countingDown:
        return QStringLiteral("countingDown(%1)").arg(m_secondsLeft);
    case Kind::recording:
        return QStringLiteral("recording");
    case Kind::exporting:
        return m_percentDone ? QStringLiteral("exporting(%1%)").arg(*m_percentDone) : QStringLiteral("exporting");
    case Kind::finished:
        return QStringLiteral("finished(%1, %2 s, %3 bytes)")
            .arg(m_text)
            .arg(m_summary.duration)
            .arg(m_summary.fileSize);
    case Kind::failed:
        return QStringLiteral("failed(%1)").arg(m_text);
    }
    return {};
}

} // namespace vessaro
