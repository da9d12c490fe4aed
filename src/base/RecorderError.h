#pragma once

#include <QString>

#include <cstdint>

namespace vessaro {

// The one error type the recorder raises itself. A plain immutable value: any
// thread may create, copy or read it. Copies share their text, so creating one
// from literal or existing strings does not allocate (the audio thread relies
// on that when it stores a failure).
class RecorderError {
public:
    enum class Case { writerStartFailed, writerAppendFailed, invalidOutput, captureFailed, noAudioReceived };

    static RecorderError writerStartFailed(const QString& reason);
    static RecorderError writerAppendFailed(const QString& reason);
    static RecorderError invalidOutput(const QString& message);
    static RecorderError captureFailed(const QString& step, std::int32_t status);
    static RecorderError noAudioReceived();

    Case kind() const { return m_case; }
    // The payload text of writerStartFailed, writerAppendFailed and invalidOutput,
    // or the step name of captureFailed.
    const QString& text() const { return m_text; }
    std::int32_t status() const { return m_status; }

    // What the user reads. Allocates: never call on the audio thread.
    QString localizedDescription() const;

    friend bool operator==(const RecorderError&, const RecorderError&) = default;

private:
    RecorderError(Case c, QString text, std::int32_t status);

    Case m_case;
    QString m_text;
    std::int32_t m_status;
};

} // namespace vessaro
