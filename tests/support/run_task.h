#pragma once

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QEventLoop>
#include <optional>

// Runs a coroutine to its end in a nested event loop (timers and sockets keep working)
// and returns its value; for results that have no default value.
template <typename T> T runTask(QCoro::Task<T> task)
{
    std::optional<T> out;
    QEventLoop loop;
    QCoro::connect(std::move(task), &loop, [&](T value) {
        out.emplace(std::move(value));
        loop.quit();
    });
    if (!out)
        loop.exec();
    return std::move(*out);
}

// Lets coroutines that were cancelled (their wake-ups are queued events) run to their end,
// so a test leaves no suspended frame behind for the leak checker.
inline void drainCancelledTasks()
{
    for (int round = 0; round < 10; ++round)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}
