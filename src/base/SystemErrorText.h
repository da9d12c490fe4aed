#pragma once

#include <QString>

// The system's errors in the recorder's own words. strerror's English, or the
// locale's, never reaches the user. Any thread.
namespace vessaro::SystemErrorText {

// What went wrong, without the operation: "磁盘空间已满". A value we have no
// words for keeps its number: "系统错误 123".
QString describe(int errnoValue);

} // namespace vessaro::SystemErrorText
