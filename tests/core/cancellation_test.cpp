#include "core/cancellation.h"
#include "support/run_task.h"

#include <QCoreApplication>
#include <QPromise>
#include <QTest>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;
using cancellation::awaitFuture;
using cancellation::sleepFor;
using cancellation::TaskHandle;

namespace {

// Requests a stop from another thread a little later.
std::jthread stopFromAnotherThread(std::stop_source& stop)
{
    return std::jthread([&stop] {
        QThread::msleep(20);
        stop.request_stop();
    });
}

QCoro::Task<> countUntilStopped(std::stop_token token, int* rounds)
{
    for (;;) {
        // Awaited into a variable: g++ 12 mishandles a co_await inside a loop condition.
        const bool slept = co_await sleepFor(1ms, token);
        if (!slept)
            break;
        ++*rounds;
    }
}

} // namespace

TEST(Cancellation, SleepRunsItsCourseOrWakesOnStopFromAnyThread)
{
    std::stop_source none;
    EXPECT_TRUE(runTask(sleepFor(1ms, none.get_token())));
    std::stop_source stop;
    const auto stopper = stopFromAnotherThread(stop);
    EXPECT_FALSE(runTask(sleepFor(std::chrono::hours(1), stop.get_token())));
    // Already stopped: returns at once.
    EXPECT_FALSE(runTask(sleepFor(std::chrono::hours(1), stop.get_token())));
}

TEST(Cancellation, AwaitFutureGivesTheResultOrNothingOnStop)
{
    std::stop_source none;
    EXPECT_EQ(runTask(awaitFuture(QtConcurrent::run([] { return 42; }), none.get_token())), 42);

    // A job that never finishes on its own: stop ends the await, not the job.
    QPromise<int> neverDone;
    neverDone.start();
    std::stop_source stop;
    const auto stopper = stopFromAnotherThread(stop);
    EXPECT_EQ(runTask(awaitFuture(neverDone.future(), stop.get_token())), std::nullopt);
    neverDone.finish();

    // A future finished without a result (cancelled by its producer) yields nothing.
    QPromise<int> cancelled;
    cancelled.start();
    cancelled.future().cancel();
    cancelled.finish();
    EXPECT_EQ(runTask(awaitFuture(cancelled.future(), none.get_token())), std::nullopt);
}

TEST(Cancellation, TaskHandleCancelsOnRequestAndWhenDestroyed)
{
    int rounds = 0;
    TaskHandle handle;
    handle.start([&](std::stop_token token) { return countUntilStopped(token, &rounds); });
    EXPECT_TRUE(handle.isRunning());
    EXPECT_TRUE(QTest::qWaitFor([&] { return rounds >= 3; }, 5000));
    handle.cancel();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !handle.isRunning(); }, 5000));
    const int atStop = rounds;
    QCoreApplication::processEvents();
    EXPECT_EQ(rounds, atStop);

    std::stop_token seen;
    {
        TaskHandle scoped;
        scoped.start([&](std::stop_token token) {
            seen = token;
            return countUntilStopped(token, &rounds);
        });
    }
    EXPECT_TRUE(seen.stop_requested());
}
