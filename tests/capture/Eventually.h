#pragma once

#include <QDeadlineTimer>
#include <QThread>

namespace vessaro::test {

// Polls until `done` holds. The limit only turns a hang into a failure; it
// measures nothing. Test thread only.
template <typename Predicate>
bool eventually(Predicate done)
{
    QDeadlineTimer deadline(20000);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

} // namespace vessaro::test
