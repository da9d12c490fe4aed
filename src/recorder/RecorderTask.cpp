#include "recorder/RecorderTask.h"

#include "recorder/NextTurn.h"

#include <vector>

namespace vessaro {

struct RecorderTask::State {
    CancellationTokenPtr token = CancellationToken::create();
    bool ended = false;
    std::vector<std::coroutine_handle<>> waiters;
};

RecorderTask::RecorderTask()
    : m_state(std::make_shared<State>())
{ }

const CancellationTokenPtr& RecorderTask::token() const
{
    return m_state->token;
}

void RecorderTask::cancel() const
{
    m_state->token->cancel();
}

bool RecorderTask::isCancelled() const
{
    return m_state->token->isCancelled();
}

bool RecorderTask::hasEnded() const
{
    return m_state->ended;
}

RecorderTask::Running::~Running()
{
    m_state->ended = true;
    // Resumed later: the ending coroutine is still unwinding its frame here.
    for (const auto waiter : std::exchange(m_state->waiters, {}))
        NextTurn::resumeLater(waiter);
}

bool RecorderTask::EndAwaiter::await_ready() const noexcept
{
    return m_state->ended;
}

void RecorderTask::EndAwaiter::await_suspend(std::coroutine_handle<> coroutine) const
{
    m_state->waiters.push_back(coroutine);
}

} // namespace vessaro
