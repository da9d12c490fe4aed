#pragma once

#include <QObject>

#include <atomic>
#include <memory>

namespace vessaro {

// Shared between a task and whoever may cancel it. cancel() and isCancelled()
// may be called from any thread; `cancelled` is emitted once, on the thread
// that cancelled, so connect with a context object to receive it on yours.
class CancellationToken : public QObject {
    Q_OBJECT
public:
    static std::shared_ptr<CancellationToken> create();

    void cancel();
    bool isCancelled() const { return m_cancelled.load(std::memory_order_acquire); }

Q_SIGNALS:
    void cancelled();

public:
    struct Key {
        explicit Key() = default;
    };
    explicit CancellationToken(Key) { }

private:
    std::atomic<bool> m_cancelled { false };
};

using CancellationTokenPtr = std::shared_ptr<CancellationToken>;

} // namespace vessaro
