#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <stdexcept>

namespace vessaro::test {

template <typename T>
T await(QFuture<T> future, std::chrono::milliseconds limit)
{
    QDeadlineTimer deadline(limit);
    while (!future.isFinished()) {
        if (deadline.hasExpired())
            qFatal("timed out waiting for a future");
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    if constexpr (!std::is_void_v<T>)
        return future.result();
}

} // namespace vessaro::test
