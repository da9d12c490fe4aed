#pragma once

#include <QString>

namespace vessaro {

// An error reported by the platform below us (the file system, FFmpeg, the
// audio server), carried unchanged to where it is shown. Any thread.
class PlatformError {
public:
    enum class Source { fileSystem, media, audioServer };

    PlatformError(Source source, int code, QString description)
        : m_source(source)
        , m_code(code)
        , m_description(std::move(description))
    { }

    // errno-based file-system error; `what` names the operation and its path.
    static PlatformError fromErrno(int errnoValue, const QString& what);

    Source source() const { return m_source; }
    int code() const { return m_code; }
    const QString& localizedDescription() const { return m_description; }

    friend bool operator==(const PlatformError&, const PlatformError&) = default;

private:
    Source m_source;
    int m_code;
    QString m_description;
};

} // namespace vessaro
