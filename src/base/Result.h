#pragma once

#include "base/Error.h"

#include <optional>
#include <utility>
#include <variant>

namespace vessaro {

// A value or the Error that prevented it. The one way operations report
// failure; it crosses threads (inside QFuture) as a plain value.
// A default-constructed Result holds a default T: QFuture needs that.
template <typename T> class [[nodiscard]] Result {
public:
    Result()
        : m_value(T {})
    { }
    Result(T value)
        : m_value(std::move(value))
    { } // NOLINT(google-explicit-constructor)
    Result(Error error)
        : m_value(std::move(error))
    { } // NOLINT(google-explicit-constructor)
    Result(RecorderError error)
        : m_value(Error(std::move(error)))
    { } // NOLINT(google-explicit-constructor)
    Result(PlatformError error)
        : m_value(Error(std::move(error)))
    { } // NOLINT(google-explicit-constructor)
    Result(CancellationError error)
        : m_value(Error(error))
    { } // NOLINT(google-explicit-constructor)

    bool ok() const { return std::holds_alternative<T>(m_value); }
    explicit operator bool() const { return ok(); }

    const T& value() const& { return std::get<T>(m_value); }
    T& value() & { return std::get<T>(m_value); }
    // By value: a reference into a temporary would dangle, as in
    // `for (auto x : load().value())`.
    T value() && { return std::get<T>(std::move(m_value)); }
    const Error& error() const { return std::get<Error>(m_value); }

private:
    std::variant<T, Error> m_value;
};

template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error)
        : m_error(std::move(error))
    { } // NOLINT(google-explicit-constructor)
    Result(RecorderError error)
        : m_error(Error(std::move(error)))
    { } // NOLINT(google-explicit-constructor)
    Result(PlatformError error)
        : m_error(Error(std::move(error)))
    { } // NOLINT(google-explicit-constructor)
    Result(CancellationError error)
        : m_error(Error(error))
    { } // NOLINT(google-explicit-constructor)

    bool ok() const { return !m_error.has_value(); }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return *m_error; }

private:
    std::optional<Error> m_error;
};

using Status = Result<void>;

} // namespace vessaro
