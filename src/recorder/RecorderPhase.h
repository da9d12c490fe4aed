#pragma once

#include "files/RecordingSummary.h"

#include <QMetaType>
#include <QString>

#include <optional>

namespace vessaro {

// Where the recorder stands; the window draws nothing else. A plain value,
// any thread. Two phases are equal when their kind and payload are equal.
class RecorderPhase {
public:
    enum class Kind { idle, preparing, countingDown, recording, exporting, finished, failed };

    RecorderPhase() = default; // idle

    static RecorderPhase idle() { return RecorderPhase(Kind::idle); }
    static RecorderPhase preparing() { return RecorderPhase(Kind::preparing); }
    static RecorderPhase countingDown(int secondsLeft);
    static RecorderPhase recording() { return RecorderPhase(Kind::recording); }
    // `percentDone`: how far a save that takes a while has come, when it counts.
    static RecorderPhase exporting(std::optional<int> percentDone = std::nullopt);
    // `path` is the exported file, or the pending temporary file when the user
    // did not choose a destination.
    static RecorderPhase finished(QString path, RecordingSummary summary);
    static RecorderPhase failed(QString message);

    Kind kind() const { return m_kind; }
    // Capture resources are held or being worked on: start() and recordAgain() refuse.
    bool isBusy() const;

    // Payloads; each is meaningful only for its kind.
    int secondsLeft() const { return m_secondsLeft; }
    const QString& path() const { return m_text; }
    const RecordingSummary& summary() const { return m_summary; }
    const QString& message() const { return m_text; }
    const std::optional<int>& percentDone() const { return m_percentDone; }

    // For test output and debugging, e.g. "countingDown(2)".
    QString description() const;

    friend bool operator==(const RecorderPhase&, const RecorderPhase&) = default;

private:
    explicit RecorderPhase(Kind kind)
        : m_kind(kind)
    { }

    Kind m_kind = Kind::idle;
    int m_secondsLeft = 0;
    QString m_text;
    RecordingSummary m_summary;
    std::optional<int> m_percentDone;
};

} // namespace vessaro

Q_DECLARE_METATYPE(vessaro::RecorderPhase)
