#pragma once

#include "base/FileDescriptor.h"

#include <QObject>
#include <QSocketNotifier>

#include <initializer_list>
#include <vector>

#include <csignal>

namespace vessaro {

// Turns Unix signals (SIGINT, SIGTERM) into a Qt signal on the main thread.
// The handler only writes the signal's number into a pipe, which is all a
// signal handler may safely do; the event loop reads it and emits received().
// Main thread only. One instance at a time per process: the handler has no
// other way to find the pipe. Destroying it restores the previous handlers.
class UnixSignalNotifier final : public QObject {
    Q_OBJECT
public:
    explicit UnixSignalNotifier(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
    ~UnixSignalNotifier() override;
    UnixSignalNotifier(const UnixSignalNotifier&) = delete;
    UnixSignalNotifier& operator=(const UnixSignalNotifier&) = delete;

    // Whether the pipe and every handler were installed.
    bool isActive() const { return m_active; }

Q_SIGNALS:
    void received(int signalNumber);

private:
    static void handle(int signalNumber);
    void readPending();

    FileDescriptor m_readEnd;
    FileDescriptor m_writeEnd;
    QSocketNotifier* m_notifier = nullptr;
    std::vector<std::pair<int, struct sigaction>> m_previous;
    bool m_active = false;
};

} // namespace vessaro
