// An io_context run on a thread of the test, as the server runs its one event loop: the objects
// under test are made, used and stopped on that thread, and the test talks to them over sockets.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <utility>

namespace velmora::test {

class IoThread {
public:
    IoThread() : guard_(asio::make_work_guard(io_)), thread_([this] { io_.run(); }) {}
    ~IoThread() { Finish(); }
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    asio::io_context& io() { return io_; }

    // Runs `work` on the loop's thread and returns what it returns.
    template <typename Work>
    auto Call(Work work)
    {
        std::packaged_task<decltype(work())()> task(std::move(work));
        auto result = task.get_future();
        asio::post(io_, [&task] { task(); });
        return result.get();
    }

    // Lets the loop run out of work (what was stopped finishes its handlers), then joins it; only
    // then may the objects it ran be destroyed.
    void Finish()
    {
        guard_.reset();
        if (thread_.joinable())
            thread_.join();
    }

private:
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::thread thread_;
};

// Asks `condition` every few milliseconds until it holds (true) or `timeout` passes (false).
inline bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace velmora::test
