#pragma once

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTask>
#include <QFuture>
#include <QFutureWatcher>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <utility>

// The cancellation kit every long-running coroutine uses. A task takes a std::stop_token;
// every wait it makes returns early once stop is requested, and after every co_await it
// checks the token before touching anything.
//
// Lifetime: a coroutine that runs for the whole run never touches its object after an await
// unless it is sure the object still exists: either its owner cancels its TaskHandle before
// destroying the object and the coroutine checks its token before anything else after every
// co_await (a cancelled await resumes later, from the event loop), or it holds a QPointer
// guard and checks it.
//
// Thread safety: the awaits run on the thread of the coroutine (the main thread in the
// application); request_stop() may come from any thread. The wake-up is always queued to
// the awaiting thread, so a stop requested inside the coroutine's own call stack never
// resumes it reentrantly.
namespace cancellation {

// A one-shot wake-up that a stop request, a timer or a finished job can fire from any
// thread; the awaiting coroutine resumes on the thread this object lives on.
class Waker : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Queues woken(); later calls after the first are ignored.
    void wake();
    bool isWoken() const { return m_woken; }

signals:
    void woken();

private:
    bool m_woken = false;
    bool m_queued = false;
};

// Runs `onStop` on `context`'s thread once stop is requested on `token` (queued, also when
// it already is). `context` must outlive the guard; destroying the guard unregisters it.
class StopGuard {
public:
    StopGuard(std::stop_token token, QObject* context, std::function<void()> onStop);
    StopGuard(const StopGuard&) = delete;
    StopGuard& operator=(const StopGuard&) = delete;

private:
    struct Forward {
        QObject* context;
        std::function<void()> onStop;
        void operator()() const;
    };
    std::stop_callback<Forward> m_callback;
};

// Sleeps for `duration` and wakes at once when stop is requested. True when the whole
// duration passed, false when the sleep was cut short by stop.
QCoro::Task<bool> sleepFor(std::chrono::milliseconds duration, std::stop_token token);

// Awaits a future; nothing when stop was requested first (the future's work is not
// cancelled by this: background jobs check their own token). A future that finished
// without a result (cancelled by its producer) also yields nothing.
template <typename T> QCoro::Task<std::optional<T>> awaitFuture(QFuture<T> future, std::stop_token token)
{
    if (token.stop_requested())
        co_return std::nullopt;
    if (!future.isFinished()) {
        auto waker = std::make_unique<Waker>();
        QFutureWatcher<T> watcher;
        QObject::connect(&watcher, &QFutureWatcherBase::finished, waker.get(), &Waker::wake);
        watcher.setFuture(future);
        const StopGuard guard(token, waker.get(), [w = waker.get()] { w->wake(); });
        if (!future.isFinished())
            co_await qCoro(waker.get(), &Waker::woken);
    }
    if (token.stop_requested() || !future.isFinished() || future.resultCount() == 0)
        co_return std::nullopt;
    // Moved, not copied: results may be seconds of audio, and this runs on the main thread.
    co_return future.takeResult();
}

// A handle on a running coroutine: cancel() requests stop on its source. Destroying the
// handle cancels too, so a task never outlives whoever started it unnoticed.
class TaskHandle {
public:
    TaskHandle() = default;
    ~TaskHandle() { cancel(); }
    TaskHandle(TaskHandle&& other) noexcept;
    TaskHandle& operator=(TaskHandle&& other) noexcept;
    TaskHandle(const TaskHandle&) = delete;
    TaskHandle& operator=(const TaskHandle&) = delete;

    // Starts `body` with a fresh token; a running task of this handle is cancelled first.
    // The coroutine runs on the caller's thread until its first suspension.
    template <typename Body> void start(Body&& body)
    {
        cancel();
        m_source = std::stop_source();
        m_running = std::make_shared<bool>(true);
        track(std::forward<Body>(body)(m_source.get_token()), m_running);
    }
    void cancel();
    // True from start() until the coroutine returned.
    bool isRunning() const { return m_running && *m_running; }
    std::stop_token token() const { return m_source.get_token(); }

private:
    // Owns the task's frame until it returns, then clears the running flag.
    static QCoro::Task<> track(QCoro::Task<> task, std::shared_ptr<bool> running);

    std::stop_source m_source{std::nostopstate};
    std::shared_ptr<bool> m_running;
};

// Tasks started through a TaskHandle that have not returned yet, cancelled ones included
// (they return once the event loop delivers what they wait for). Any thread.
int tasksInFlight();

} // namespace cancellation
