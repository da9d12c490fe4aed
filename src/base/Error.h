#pragma once

#include "base/PlatformError.h"
#include "base/RecorderError.h"

#include <QString>

#include <variant>

namespace vessaro {

// Cooperative cancellation of the enclosing task, passed on unwrapped.
struct CancellationError {
    friend bool operator==(const CancellationError&, const CancellationError&) = default;
};

// Every failure travels as one of these values, unchanged, to the place that
// shows it. Nothing is thrown. Any thread.
class Error {
public:
    Error(RecorderError e)
        : m_value(std::move(e))
    { } // NOLINT(google-explicit-constructor)
    Error(PlatformError e)
        : m_value(std::move(e))
    { } // NOLINT(google-explicit-constructor)
    Error(CancellationError e)
        : m_value(e)
    { } // NOLINT(google-explicit-constructor)

    bool isCancellation() const { return std::holds_alternative<CancellationError>(m_value); }
    const RecorderError* recorderError() const { return std::get_if<RecorderError>(&m_value); }
    const PlatformError* platformError() const { return std::get_if<PlatformError>(&m_value); }

    QString localizedDescription() const;

    friend bool operator==(const Error&, const Error&) = default;

private:
    std::variant<RecorderError, PlatformError, CancellationError> m_value;
};

} // namespace vessaro
