// Log lines that an attacker could make the server write as fast as it connects or sends: the
// first of each kind in an interval is written as it comes, the others are counted and told in
// one line when the interval ends.
#pragma once

#include "log_sink.h"

#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace velmora {

class LogSummary {
public:
    LogSummary(asio::io_context& io, LogSink log, std::chrono::seconds interval);

    // `kind` names what is counted in the summary line, e.g. "connections rejected: server full"
    // gives "in the last 10 s, 1,234 more connections rejected: server full".
    void note(const std::string& kind, std::string_view line);
    // Tells what is counted now, at once (the server is stopping).
    void flush();

private:
    void schedule();
    void interval_over();

    asio::steady_timer timer_;
    LogSink log_;
    std::chrono::seconds interval_;
    // Kinds written in the current interval, and how many more came since.
    std::map<std::string, std::uint64_t> counted_;
    bool scheduled_ = false;
};

}  // namespace velmora
