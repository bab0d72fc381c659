#include "core/cancellation.h"

#include <atomic>

namespace cancellation {

void Waker::wake()
{
    // Always queued: wake() may run on another thread, or inside the awaiting coroutine's
    // own call stack (a stop requested by the task itself).
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_woken)
                return;
            m_woken = true;
            emit woken();
        },
        Qt::QueuedConnection);
}

void StopGuard::Forward::operator()() const
{
    QMetaObject::invokeMethod(context, onStop, Qt::QueuedConnection);
}

StopGuard::StopGuard(std::stop_token token, QObject* context, std::function<void()> onStop)
    : m_callback(std::move(token), Forward{context, std::move(onStop)})
{}

QCoro::Task<bool> sleepFor(std::chrono::milliseconds duration, std::stop_token token)
{
    if (token.stop_requested())
        co_return false;
    Waker waker;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &waker, &Waker::wake);
    timer.start(duration);
    const StopGuard guard(token, &waker, [&waker] { waker.wake(); });
    co_await qCoro(&waker, &Waker::woken);
    co_return !token.stop_requested();
}

TaskHandle::TaskHandle(TaskHandle&& other) noexcept
    : m_source(std::exchange(other.m_source, std::stop_source(std::nostopstate))),
      m_running(std::move(other.m_running))
{}

TaskHandle& TaskHandle::operator=(TaskHandle&& other) noexcept
{
    if (this != &other) {
        cancel();
        m_source = std::exchange(other.m_source, std::stop_source(std::nostopstate));
        m_running = std::move(other.m_running);
    }
    return *this;
}

void TaskHandle::cancel()
{
    if (m_source.stop_possible())
        m_source.request_stop();
}

namespace {
std::atomic<int> g_tasksInFlight{0};
} // namespace

int tasksInFlight()
{
    return g_tasksInFlight.load();
}

QCoro::Task<> TaskHandle::track(QCoro::Task<> task, std::shared_ptr<bool> running)
{
    ++g_tasksInFlight;
    co_await task;
    *running = false;
    --g_tasksInFlight;
}

} // namespace cancellation
