#include "base/SerialExecutor.h"

#include <QMetaObject>

namespace vessaro {

SerialExecutor::SerialExecutor(const QString& name)
    : m_thread(std::make_unique<QThread>())
    , m_context(std::make_unique<QObject>())
{
    m_thread->setObjectName(name);
    m_context->moveToThread(m_thread.get());
    m_thread->start();
}

SerialExecutor::~SerialExecutor()
{
    // Queued jobs are delivered before quit() is processed: they all run.
    QMetaObject::invokeMethod(
        m_context.get(), [thread = m_thread.get()] { thread->quit(); }, Qt::QueuedConnection);
    m_thread->wait();
    m_context.reset();
}

void SerialExecutor::post(std::function<void()> job)
{
    QMetaObject::invokeMethod(m_context.get(), std::move(job), Qt::QueuedConnection);
}

} // namespace vessaro
